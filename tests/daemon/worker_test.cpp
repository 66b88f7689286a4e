#include "daemon/worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/journal.h"

namespace {

using namespace std::chrono_literals;

// A task that holds its worker until the test releases it.
struct gate {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::function<void()> task() {
    return [this] {
      entered.set_value();
      released.wait();
    };
  }
};

std::function<void()> recorder(const std::string& name) {
  return [name] { journal::record(name); };
}

TEST(worker, tasks_queued_while_busy_run_in_order_on_the_worker_thread) {
  worker w;
  gate g;
  std::vector<std::thread::id> seen(3);
  w.add_task(g.task());
  g.entered.get_future().wait();
  for (int i = 0; i < 3; ++i) {
    w.add_task([i, &seen] {
      seen[static_cast<size_t>(i)] = std::this_thread::get_id();
      journal::record("task " + std::to_string(i));
    });
  }
  g.release.set_value();
  ASSERT_TRUE(journal::wait_for("task 2"));
  EXPECT_EQ(journal::entries(), (std::vector<std::string>{"task 0", "task 1", "task 2"}));
  EXPECT_NE(seen[0], std::this_thread::get_id());
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[1], seen[2]);
}

TEST(worker, task_adding_to_its_own_worker_does_not_block_and_runs_next) {
  worker w;
  w.add_task([&w] {
    w.add_task(recorder("inner"));
    journal::record("outer done");
  });
  ASSERT_TRUE(journal::wait_for("inner"));
  EXPECT_EQ(journal::entries(), (std::vector<std::string>{"outer done", "inner"}));
}

TEST(worker, std_exception_from_task_is_logged_and_next_task_runs) {
  worker w;
  w.add_task([] { throw std::runtime_error("sensor on fire"); });
  w.add_task(recorder("next"));
  ASSERT_TRUE(journal::wait_for("next"));
  EXPECT_EQ(journal::entries(), (std::vector<std::string>{"E run: task failed, sensor on fire", "next"}));
}

TEST(worker, empty_task_is_skipped_silently) {
  worker w;
  w.add_task(std::function<void()>());
  w.add_task(recorder("after empty"));
  ASSERT_TRUE(journal::wait_for("after empty"));
  EXPECT_EQ(journal::entries(), (std::vector<std::string>{"after empty"}));
}

TEST(worker, destroying_finishes_running_task_and_drops_queued_ones_unrun) {
  auto w = std::make_unique<worker>();
  gate g;
  auto captured = std::make_shared<int>(0);
  w->add_task(g.task());
  g.entered.get_future().wait();
  w->add_task([captured] { journal::record("queued ran"); });
  ASSERT_EQ(captured.use_count(), 2);

  std::thread destroyer([&w] { w.reset(); });
  // The destructor waits for the running task; let it through only once
  // the stop request is in.
  std::this_thread::sleep_for(50ms);
  g.release.set_value();
  destroyer.join();

  EXPECT_EQ(journal::count("queued ran"), 0u);
  EXPECT_EQ(captured.use_count(), 1) << "the queued task was not destroyed";
}

TEST(worker, destroying_idle_worker_returns) {
  auto done = std::async(std::launch::async, [] { worker idle; });
  EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
}

struct copy_throws {
  bool standard;
  explicit copy_throws(bool is_standard) : standard(is_standard) {}
  copy_throws(copy_throws&&) noexcept = default;
  copy_throws(const copy_throws& other) : standard(other.standard) {
    if (standard) {
      throw std::length_error("no room for the task");
    }
    throw 42;
  }
  void operator()() const { journal::record("copy_throws ran"); }
};

TEST(worker, add_task_logs_std_exception_and_keeps_queue_unchanged) {
  worker w;
  std::function<void()> bad{copy_throws(true)};  // moved in: only add_task's copy throws
  w.add_task(bad);
  w.add_task(recorder("good"));
  ASSERT_TRUE(journal::wait_for("good"));
  EXPECT_EQ(journal::entries(),
            (std::vector<std::string>{"E add_task: failed to add new task, no room for the task", "good"}));
}

TEST(worker, add_task_passes_other_exceptions_on_with_the_lock_released) {
  worker w;
  std::function<void()> bad{copy_throws(false)};
  EXPECT_THROW(w.add_task(bad), int);
  w.add_task(recorder("still works"));
  EXPECT_TRUE(journal::wait_for("still works"));
}

TEST(worker_death, non_std_exception_from_task_ends_the_process) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        worker w;
        w.add_task([] { throw 7; });
        std::this_thread::sleep_for(10s);
      },
      "");
}

}  // namespace
