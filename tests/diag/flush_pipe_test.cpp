// wait_handle_flush on a real FIFO of the sandboxed device, with the fake
// diagnostic client. The task never returns in the good case: it runs on a
// detached thread and the test's process ends with it blocked in poll (each
// case runs in a process of its own).
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/unique_fd.h"
#include "diag/diag_settings.h"
#include "tests/fakes/device_files.h"
#include "tests/fakes/fake_diag.h"
#include "tests/fakes/journal.h"

namespace {

using namespace std::chrono_literals;
using lines = std::vector<std::string>;

constexpr const char* pipe_path = "/data/vendor/sensors/sns_diag_flush";

const lines served_one_byte{"I wait_handle_flush: sns_diag_flush read len: 1", "drain 3", "drain 9"};

// Set by the flush task's thread before it enters wait_handle_flush.
std::atomic<pid_t> flush_tid{0};
std::atomic<clockid_t> flush_cpu_clock{0};

void start_flush_task() {
  std::thread([] {
    clockid_t clock{};
    pthread_getcpuclockid(pthread_self(), &clock);
    flush_cpu_clock.store(clock);
    flush_tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    wait_handle_flush();
    journal::record("wait_handle_flush returned");
  }).detach();
}

// A writer on the pipe, opened once the task has created it and waits in its
// open (before that, the open finds no file or no reader and is retried).
unique_fd open_writer() {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    unique_fd writer(open(pipe_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (writer.ok() || std::chrono::steady_clock::now() > deadline) {
      return writer;
    }
    std::this_thread::sleep_for(5ms);
  }
}

// One request as another process makes it: open, write, close.
void request_flush(const std::string& bytes) {
  const unique_fd writer = open_writer();
  ASSERT_TRUE(writer.ok()) << "the flush task never opened the pipe";
  ASSERT_EQ(write(writer.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string field_of(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) {
      return line.substr(key.size());
    }
  }
  return "";
}

// The flush thread's scheduler state letter ('S' while it waits in poll).
char flush_thread_state() {
  const std::string state = field_of("/proc/self/task/" + std::to_string(flush_tid.load()) + "/status", "State:");
  const size_t letter = state.find_first_not_of(" \t");
  return letter == std::string::npos ? '?' : state[letter];
}

// Everything that shows the flush thread ran: its context switches (each
// wake-up from a wait is one) and the CPU time it used.
struct activity {
  long switches;
  long long cpu_ns;
  bool operator==(const activity&) const = default;
};

activity flush_thread_activity() {
  const std::string status = "/proc/self/task/" + std::to_string(flush_tid.load()) + "/status";
  timespec cpu{};
  clock_gettime(flush_cpu_clock.load(), &cpu);
  return {std::stol(field_of(status, "voluntary_ctxt_switches:")) +
              std::stol(field_of(status, "nonvoluntary_ctxt_switches:")),
          static_cast<long long>(cpu.tv_sec) * 1000000000LL + cpu.tv_nsec};
}

std::ostream& operator<<(std::ostream& out, const activity& a) {
  return out << a.switches << " switches, " << a.cpu_ns << " ns";
}

TEST(flush_pipe, creates_the_fifo_with_mode_0666) {
  umask(0);
  start_flush_task();
  ASSERT_TRUE(open_writer().ok());
  struct stat status {};
  ASSERT_EQ(stat(pipe_path, &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0666u);
}

TEST(flush_pipe, one_byte_is_one_read_and_drains_of_3_and_9) {
  start_flush_task();
  request_flush("1");
  ASSERT_TRUE(journal::wait_for("drain 9"));
  // Nothing more follows the request once the writer has gone.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(), served_one_byte);
}

TEST(flush_pipe, twenty_five_bytes_are_read_10_10_5_each_with_a_drain_pair) {
  start_flush_task();
  request_flush(std::string(25, 'x'));
  ASSERT_TRUE(journal::wait_for("drain 9", 3));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(),
            (lines{"I wait_handle_flush: sns_diag_flush read len: 10", "drain 3", "drain 9",
                   "I wait_handle_flush: sns_diag_flush read len: 10", "drain 3", "drain 9",
                   "I wait_handle_flush: sns_diag_flush read len: 5", "drain 3", "drain 9"}));
}

TEST(flush_pipe, two_pending_bytes_are_one_read) {
  ASSERT_EQ(mkfifo(pipe_path, 0666), 0);
  // A descriptor open for reading and writing keeps both bytes in the pipe
  // until the task comes.
  const unique_fd holder(open(pipe_path, O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(write(holder.get(), "1", 1), 1);
  request_flush("1");
  start_flush_task();
  ASSERT_TRUE(journal::wait_for("drain 9"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(), (lines{"I wait_handle_flush: sns_diag_flush read len: 2", "drain 3", "drain 9"}));
}

TEST(flush_pipe, failing_drain_of_3_skips_9_and_logs_once) {
  fake_diag::set_drain_result(3, 0);
  start_flush_task();
  request_flush("1");
  ASSERT_TRUE(journal::wait_for("E wait_handle_flush: diag_peripheral_buffering_drain_immediate error"));
  // The next request is served as usual.
  fake_diag::set_drain_result(3, 1);
  request_flush("1");
  ASSERT_TRUE(journal::wait_for("drain 9"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(),
            (lines{"I wait_handle_flush: sns_diag_flush read len: 1", "drain 3",
                   "E wait_handle_flush: diag_peripheral_buffering_drain_immediate error",
                   "I wait_handle_flush: sns_diag_flush read len: 1", "drain 3", "drain 9"}));
}

TEST(flush_pipe, failing_drain_of_9_logs_once) {
  fake_diag::set_drain_result(9, -1);
  start_flush_task();
  request_flush("1");
  ASSERT_TRUE(journal::wait_for("E wait_handle_flush: diag_peripheral_buffering_drain_immediate error"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(), (lines{"I wait_handle_flush: sns_diag_flush read len: 1", "drain 3", "drain 9",
                                       "E wait_handle_flush: diag_peripheral_buffering_drain_immediate error"}));
}

TEST(flush_pipe, fifo_left_from_an_earlier_run_is_reused_silently) {
  ASSERT_EQ(mkfifo(pipe_path, 0600), 0);
  start_flush_task();
  request_flush("1");
  ASSERT_TRUE(journal::wait_for("drain 9"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(), served_one_byte);
  struct stat status {};
  ASSERT_EQ(stat(pipe_path, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(flush_pipe, hang_up_of_the_writers_does_not_wake_the_task) {
  start_flush_task();
  request_flush("1");
  ASSERT_TRUE(journal::wait_for("drain 9"));
  // Let the task get back into poll, then watch it through a quiet period.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (flush_thread_state() != 'S' && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(50ms);
  const activity before = flush_thread_activity();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(flush_thread_activity(), before);
  EXPECT_EQ(flush_thread_state(), 'S');

  request_flush("1");
  ASSERT_TRUE(journal::wait_for("drain 9", 2));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(journal::entries(), (lines{"I wait_handle_flush: sns_diag_flush read len: 1", "drain 3", "drain 9",
                                       "I wait_handle_flush: sns_diag_flush read len: 1", "drain 3", "drain 9"}));
}

class not_a_fifo : public testing::TestWithParam<bool> {};

TEST_P(not_a_fifo, at_the_path_ends_the_task_and_is_left_alone) {
  const bool directory = GetParam();
  if (directory) {
    ASSERT_EQ(mkdir(pipe_path, 0755), 0);
  } else {
    write_file(pipe_path, "keep me\n");
  }
  wait_handle_flush();
  EXPECT_EQ(journal::entries(), lines{"E wait_handle_flush: /data/vendor/sensors/sns_diag_flush is not a FIFO"});
  struct stat status {};
  ASSERT_EQ(lstat(pipe_path, &status), 0);
  if (directory) {
    EXPECT_TRUE(S_ISDIR(status.st_mode));
  } else {
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(read_file(pipe_path), "keep me\n");
  }
}

INSTANTIATE_TEST_SUITE_P(kinds, not_a_fifo, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "directory" : "regular_file");
                         });

TEST(flush_pipe, missing_sensors_directory_ends_the_task) {
  ASSERT_EQ(rmdir("/data/vendor/sensors"), 0);
  wait_handle_flush();
  EXPECT_EQ(journal::entries(), lines{"E wait_handle_flush: mkfifo error: 2"});
}

}  // namespace
