#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "interfaces/sensors_log.h"

namespace {

// Sends standard error to a file for the life of the object.
class captured_stderr {
 public:
  captured_stderr() {
    saved_ = dup(STDERR_FILENO);
    const int fd = open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~captured_stderr() { restore(); }
  std::vector<std::string> lines() {
    restore();
    std::ifstream in(path_);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) {
      result.push_back(line);
    }
    return result;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  const char* path_ = "/tmp/stderr.txt";
  int saved_ = -1;
};

const std::regex line_format(R"(^(\d+)\.(\d{6}) (\d+) (\d+) ([EIDV]) ([^ :]+): (.*)$)");

class host_log : public testing::Test {
 protected:
  void SetUp() override {
    sensors_log::set_tag("sensors.lumo");
    sensors_log::set_level(sensors_log::verbose);
  }
};

TEST_F(host_log, line_has_monotonic_stamp_pid_tid_letter_tag_and_text) {
  timespec before{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  captured_stderr err;
  sns_log_message(2, "%s:%d, took %ld ms", "main", 42, 7L);
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, line_format)) << lines[0];
  EXPECT_GE(std::stoll(m[1]), static_cast<long long>(before.tv_sec));
  EXPECT_EQ(std::stoi(m[3]), getpid());
  EXPECT_EQ(std::stol(m[4]), syscall(SYS_gettid));
  EXPECT_EQ(m[5], "I");
  EXPECT_EQ(m[6], "sensors.lumo");
  EXPECT_EQ(m[7], "main:42, took 7 ms");
}

TEST_F(host_log, level_letters_follow_the_message_level) {
  captured_stderr err;
  for (int level = 1; level <= 4; ++level) {
    sns_log_message(level, "level %d", level);
  }
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 4u);
  const std::string letters = "EIDV";
  for (size_t i = 0; i < 4; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, line_format));
    EXPECT_EQ(m[5], std::string(1, letters[i]));
  }
}

TEST_F(host_log, level_filter_prints_up_to_the_level_set) {
  captured_stderr err;
  sensors_log::set_level(sensors_log::info);
  sns_log_message(1, "error");
  sns_log_message(2, "info");
  sns_log_message(3, "debug");
  sns_log_message(4, "verbose");
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(": error"), std::string::npos);
  EXPECT_NE(lines[1].find(": info"), std::string::npos);
}

TEST_F(host_log, level_zero_prints_no_message_but_trace_lines_still_show) {
  captured_stderr err;
  sensors_log::set_level(sensors_log::lowest);
  sns_log_message(1, "error");
  host_trace("diag-sim", "Diag_LSM_Init(NULL) = %d", 1);
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, line_format));
  EXPECT_EQ(m[5], "I");
  EXPECT_EQ(m[6], "diag-sim");
  EXPECT_EQ(m[7], "Diag_LSM_Init(NULL) = 1");
}

TEST_F(host_log, trailing_line_feed_makes_no_empty_line) {
  captured_stderr err;
  sns_log_message(1, "mkdir failed errno:%d - strerror: %s\n", 17, "File exists");
  sns_log_message(1, "next");
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(": mkdir failed errno:17 - strerror: File exists"), std::string::npos);
}

TEST_F(host_log, long_message_is_kept_whole) {
  captured_stderr err;
  const std::string big(1 << 20, 'x');
  sns_log_message(3, "line(command): %s ", big.c_str());
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(big + " "), std::string::npos);
}

TEST_F(host_log, concurrent_writers_never_interleave_within_a_line) {
  captured_stderr err;
  constexpr int threads = 8;
  constexpr int per_thread = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([t] {
      const std::string payload(200, static_cast<char>('a' + t));
      for (int i = 0; i < per_thread; ++i) {
        sns_log_message(2, "%d %s", t, payload.c_str());
      }
    });
  }
  for (auto& w : writers) {
    w.join();
  }
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_format)) << line;
    const std::string text = m[7];
    const int t = text[0] - '0';
    EXPECT_EQ(text, std::to_string(t) + " " + std::string(200, static_cast<char>('a' + t)));
  }
}

}  // namespace
