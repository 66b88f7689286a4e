// The flush task when it cannot have a writer of its own: its thread may read
// the pipe but not write it (mode 0444, which binds an ordinary user; under
// root the thread runs as nobody) until the test opens the pipe to everyone.
// Meanwhile the pipe's path is taken by another file, which must never become
// the task's writer. And a regular file where the pipe should be.
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "diag/diag_settings.h"
#include "interfaces/odl_protocol.h"
#include "tests/fakes/fakes.h"

namespace {

using android::base::unique_fd;

// Opens `path` for writing without blocking; a FIFO without a reader fails.
unique_fd writer(const std::string& path) {
  return unique_fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

struct replacement {
  const char* name;
  bool fifo;  // a FIFO with a reader of its own, or a regular file, both writable by anyone
};

class flush_pipe_path_taken : public testing::TestWithParam<replacement> {};

TEST_P(flush_pipe_path_taken, serves_and_takes_a_writer_only_on_its_own_pipe) {
  unlink(odl::flush_pipe_path);
  ASSERT_EQ(mkfifo(odl::flush_pipe_path, 0600), 0);
  // The test's own handle on the pipe, kept whatever the path holds later.
  const unique_fd pipe(open(odl::flush_pipe_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(pipe.ok()) << "errno " << errno;
  unique_fd first = writer(odl::flush_pipe_path);  // lets the task's blocking open return
  ASSERT_TRUE(first.ok()) << "errno " << errno;
  ASSERT_EQ(fchmod(pipe.get(), 0444), 0);
  std::atomic<pid_t> flush_thread{0};
  std::thread([&flush_thread] {
    flush_thread = this_thread_id();
    // For this thread only (the C library's setresuid would change every thread's user).
    if (geteuid() != 0 || syscall(SYS_setresuid, 65534, 65534, 65534) == 0) {
      wait_handle_flush();
    }
  }).detach();
  // One request: read, both drains, nothing else.
  const auto served = [](unique_fd request) {
    EXPECT_TRUE(request.ok()) << "no writer, errno " << errno;
    EXPECT_EQ(write(request.get(), "1", 1), 1);
    const std::vector<std::string> lines{
        "I wait_handle_flush: sns_diag_flush read len: 1",
        "diag-sim: diag_peripheral_buffering_drain_immediate(3) = 1",
        "diag-sim: diag_peripheral_buffering_drain_immediate(9) = 1"};
    EXPECT_TRUE(journal::wait_for(lines.back())) << "waited 10 s for: " << lines.back();
    EXPECT_EQ(journal::take(), lines);
  };
  served(std::move(first));
  // Its writer has hung up: the task pauses between tries until it may open a writer of its own.
  ASSERT_TRUE(journal::wait_for("pause 1000000")) << "waited 10 s for a paused retry";

  const std::string other = std::string(odl::flush_pipe_path) + ".other";
  ASSERT_TRUE(!GetParam().fifo || mkfifo(other.c_str(), 0600) == 0);
  const unique_fd other_reader(
      open(other.c_str(), O_RDONLY | O_NONBLOCK | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(other_reader.ok()) << "errno " << errno;
  ASSERT_EQ(fchmod(other_reader.get(), 0666), 0);
  ASSERT_EQ(rename(other.c_str(), odl::flush_pipe_path), 0);
  journal::take();
  ASSERT_TRUE(journal::wait_for("pause 1000000"))
      << "waited 10 s for a paused retry after the path was taken";
  ASSERT_EQ(fchmod(pipe.get(), 0666), 0);
  // Once it has its writer, the task sleeps between requests and neither pauses nor spins.
  ASSERT_TRUE(wait_until_asleep(flush_thread)) << "waited 10 s for the flush task to sleep";
  journal::take();
  served(writer("/proc/self/fd/" + std::to_string(pipe.get())));
  EXPECT_TRUE(wait_until_asleep(flush_thread)) << "waited 10 s for the flush task to sleep";
  EXPECT_EQ(journal::take(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(table, flush_pipe_path_taken,
                         testing::Values(replacement{"by_another_fifo", true},
                                         replacement{"by_a_file", false}),
                         by_name);

TEST(flush_pipe, a_regular_file_at_its_path_ends_the_task) {
  write_file(odl::flush_pipe_path, "not a pipe\n");
  std::thread(wait_handle_flush).detach();
  const std::string refused =
      "E wait_handle_flush: /data/vendor/sensors/sns_diag_flush is not a FIFO";
  EXPECT_TRUE(journal::wait_for(refused)) << "waited 10 s for: " << refused;
  EXPECT_EQ(journal::take(), std::vector<std::string>{refused});
}

}  // namespace
