// The flush task when it cannot have a writer of its own: its thread runs as
// a user who may read the pipe but not write it, until the test opens the
// pipe to everyone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "daemon/unique_fd.h"
#include "diag/diag_settings.h"
#include "diag/sensors_paths.h"
#include "tests/fakes/fakes.h"

namespace {

using namespace std::chrono_literals;

TEST(flush_pipe, serves_without_a_writer_of_its_own_and_takes_one_once_it_can) {
  ASSERT_EQ(mkfifo(flush_pipe_path, 0), 0);
  ASSERT_EQ(chmod(flush_pipe_path, 0644), 0);
  std::atomic<clockid_t> flush_cpu{};
  std::thread([&flush_cpu] {
    clockid_t clock{};
    pthread_getcpuclockid(pthread_self(), &clock);
    flush_cpu = clock;
    // For this thread only (the C library's setresuid would change every thread's user).
    if (syscall(SYS_setresuid, 1000, 1000, 1000) == 0) {
      wait_handle_flush();
    }
  }).detach();
  const auto served = [](unique_fd writer) {  // one request: read, both drains
    EXPECT_EQ(write(writer.get(), "1", 1), 1);
    const std::vector<std::string> lines{"I wait_handle_flush: sns_diag_flush read len: 1",
                                         "diag-sim: diag_peripheral_buffering_drain_immediate(3) = 1",
                                         "diag-sim: diag_peripheral_buffering_drain_immediate(9) = 1"};
    return journal::wait_for(lines.back()) && journal::take() == lines;
  };
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
  EXPECT_TRUE(served(unique_fd(open(flush_pipe_path, O_WRONLY | O_CLOEXEC))));
  // Its writer has hung up: the task pauses between tries until it may open a writer of its own.
  ASSERT_TRUE(journal::wait_for("pause 1000000"));
  ASSERT_EQ(chmod(flush_pipe_path, 0666), 0);
  EXPECT_TRUE(idle());
  EXPECT_TRUE(served(unique_fd(open(flush_pipe_path, O_WRONLY | O_CLOEXEC))));
  EXPECT_TRUE(idle());
}

}  // namespace
