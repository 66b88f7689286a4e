// The daemon core: the worker's queue and destructor, and main's bounded wait.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "daemon/sensordaemon.h"
#include "daemon/worker.h"
#include "tests/fakes/fakes.h"

namespace {

using lines = std::vector<std::string>;
using namespace std::chrono_literals;

// A callable that can be moved but whose copy fails.
struct copy_throws {
  copy_throws() = default;
  copy_throws(copy_throws&&) noexcept = default;
  copy_throws(const copy_throws&) { throw std::length_error("no room"); }
  void operator()() const { journal::record("copy_throws ran"); }
};

TEST(worker, runs_tasks_in_order_one_at_a_time_and_goes_on_after_failures) {
  worker w;
  std::promise<void> release;
  w.add_task([released = release.get_future().share()] {
    released.wait_for(10s);  // holds the worker while the rest is queued
    journal::record("first");
  });
  w.add_task([] { journal::record("second"); });
  w.add_task(std::function<void()>());
  w.add_task([] { throw std::runtime_error("sensor on fire"); });
  w.add_task(std::function<void()>(copy_throws()));
  w.add_task([&w] {
    w.add_task([] { journal::record("added by a task"); });
    journal::record("third");
  });
  release.set_value();
  ASSERT_TRUE(journal::wait_for("added by a task"));
  EXPECT_EQ(journal::take(),
            (lines{"E add_task: failed to add new task, no room", "first", "second",
                   "E run: task failed, sensor on fire", "third", "added by a task"}));
}

TEST(worker, destructor_waits_for_the_running_task_and_destroys_the_queued_ones_unrun) {
  auto w = std::make_unique<worker>();
  std::promise<void> entered;
  std::promise<void> release;
  w->add_task([&] {
    entered.set_value();
    release.get_future().wait_for(10s);
    journal::record("running task returned");
  });
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready)
      << "waited 10 s for the first task to run";
  auto captured = std::make_shared<int>();
  w->add_task([captured] { journal::record("queued task ran"); });
  std::atomic<pid_t> destroyer_id{0};
  std::promise<void> destroyed;
  std::thread destroyer([&] {
    destroyer_id = this_thread_id();
    w.reset();
    destroyed.set_value();
  });
  // Asleep, the destroyer waits in the join: the stop request went in before.
  ASSERT_TRUE(wait_until_asleep(destroyer_id)) << "waited 10 s for the destructor to join";
  release.set_value();
  ASSERT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready)
      << "waited 10 s for the destructor to return";
  destroyer.join();
  EXPECT_EQ(journal::take(), lines{"running task returned"});
  EXPECT_EQ(captured.use_count(), 1);
}

TEST(diag_init_wait, times_out_at_its_limit_and_takes_the_flag_set_by_the_deadline) {
  EXPECT_FALSE(wait_for_diag_init(30ms));
  signal_diag_init_done();
  EXPECT_TRUE(wait_for_diag_init(0ms));  // no time left: the flag is checked once more all the same
  EXPECT_EQ(journal::take(), (lines{"E main: diag is not initialized within 30 ms",
                                    "I main: took 0 ms to complete diag init"}));
}

}  // namespace
