// The flush task when it cannot have a writer of its own: its thread runs as
// a user who may read the pipe but not write it, until the test opens the
// pipe to everyone.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "daemon/unique_fd.h"
#include "diag/diag_settings.h"
#include "diag/sensors_paths.h"
#include "tests/fakes/fakes.h"

namespace {

using lines = std::vector<std::string>;
using namespace std::chrono_literals;

const lines served{"I wait_handle_flush: sns_diag_flush read len: 1",
                   "diag-sim: diag_peripheral_buffering_drain_immediate(3) = 1",
                   "diag-sim: diag_peripheral_buffering_drain_immediate(9) = 1"};

TEST(flush_pipe, serves_without_a_writer_of_its_own_and_takes_one_once_it_can) {
  ASSERT_EQ(mkfifo(flush_pipe_path, 0644), 0);
  ASSERT_EQ(chmod(flush_pipe_path, 0644), 0);  // whatever the umask
  std::atomic<clockid_t> flush_cpu{};
  std::thread([&flush_cpu] {
    clockid_t clock{};
    pthread_getcpuclockid(pthread_self(), &clock);
    flush_cpu = clock;
    // For this thread only (the C library would change every thread's user).
    if (syscall(SYS_setresuid, 1000, 1000, 1000) == 0) {
      wait_handle_flush();
    }
  }).detach();
  const auto idle = [&flush_cpu] {  // once settled, neither woken nor logging
    std::this_thread::sleep_for(100ms);
    journal::take();
    timespec before{};
    timespec after{};
    clock_gettime(flush_cpu, &before);
    std::this_thread::sleep_for(300ms);
    clock_gettime(flush_cpu, &after);
    return before.tv_sec == after.tv_sec && before.tv_nsec == after.tv_nsec && journal::take().empty();
  };
  unique_fd writer(open(flush_pipe_path, O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(write(writer.get(), "1", 1), 1);
  ASSERT_TRUE(journal::wait_for(served.back()));
  EXPECT_EQ(journal::take(), served);

  // The writer hangs up: the task pauses between tries until it may open a writer of its own.
  writer.reset();
  ASSERT_TRUE(journal::wait_for("pause 1000000"));
  ASSERT_EQ(chmod(flush_pipe_path, 0666), 0);
  EXPECT_TRUE(idle());

  writer.reset(open(flush_pipe_path, O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(write(writer.get(), "1", 1), 1);
  writer.reset();
  ASSERT_TRUE(journal::wait_for(served.back()));
  EXPECT_EQ(journal::take(), served);
  EXPECT_TRUE(idle());
}

}  // namespace
