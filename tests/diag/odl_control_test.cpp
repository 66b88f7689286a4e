#include "diag/odl_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "daemon/sensordaemon.h"
#include "tests/fakes/device_files.h"
#include "tests/fakes/journal.h"

namespace {

using lines = std::vector<std::string>;

// A flush descriptor whose other end the test reads.
class flush_pipe {
 public:
  flush_pipe() { EXPECT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  ~flush_pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int write_end() const { return fds_[1]; }
  std::string drained() {
    char buffer[64];
    const ssize_t n = read(fds_[0], buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  int fds_[2] = {-1, -1};
};

std::vector<std::string> capture_dirs() {
  std::vector<std::string> found;
  DIR* dir = opendir("/data/vendor/sensors");
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("odl_sns_", 0) == 0) {
      found.push_back("/data/vendor/sensors/" + name);
    }
  }
  closedir(dir);
  return found;
}

const lines with_packets{"stop", "enable_HLOS_packets"};
const lines without_packets{"stop", "x"};

struct stop_case {
  const char* name;
  const char* processor;
  lines commands;
  lines shell;
};

class stop_lines : public testing::TestWithParam<stop_case> {};

TEST_P(stop_lines, flush_then_kill_lines_then_pause) {
  add_remoteproc("remoteproc0", GetParam().processor);
  flush_pipe flush;
  stop_odl_capture(GetParam().commands, flush.write_end());
  lines expected{"I handle_events: Daig : Killing current ODL instance "};
  for (const auto& line : GetParam().shell) {
    expected.push_back("shell " + line);
  }
  expected.push_back("pause 5000000");
  EXPECT_EQ(journal::entries(), expected);
  EXPECT_EQ(flush.drained(), "1");
  EXPECT_EQ(last_odl_command, "stop");
}

INSTANTIATE_TEST_SUITE_P(
    table, stop_lines,
    testing::Values(
        stop_case{"kora_default", "kora\n", without_packets, {"/vendor/bin/trcap -k -p 4", "/vendor/bin/trcap -k -g 16384 "}},
        stop_case{"kora_packets", "kora\n", with_packets, {"/vendor/bin/trcap -k -p 5", "/vendor/bin/trcap -k -g 16384 "}},
        stop_case{"vela_default", "vela\n", without_packets, {"/vendor/bin/trcap -k -p 16"}},
        stop_case{"vela_packets", "vela\n", with_packets, {"/vendor/bin/trcap -k -p 17"}},
        stop_case{"unknown_processor_packets", "nothing known\n", with_packets, {"/vendor/bin/trcap -k -p 17"}},
        stop_case{"kora_option_with_trailing_blank", "kora\n", {"stop", "enable_HLOS_packets "}, {"/vendor/bin/trcap -k -p 4", "/vendor/bin/trcap -k -g 16384 "}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(stop_odl_capture, repeated_stop_does_nothing_and_logs_nothing) {
  flush_pipe flush;
  stop_odl_capture(with_packets, flush.write_end());
  EXPECT_EQ(flush.drained(), "1");
  journal::clear();
  stop_odl_capture(without_packets, flush.write_end());
  EXPECT_TRUE(journal::entries().empty());
  EXPECT_EQ(flush.drained(), "");
}

TEST(stop_odl_capture, does_not_need_the_capture_configuration) {
  flush_pipe flush;
  stop_odl_capture(without_packets, flush.write_end());
  EXPECT_EQ(journal::count("shell /vendor/bin/trcap -k -p 16"), 1u);
}

struct start_case {
  const char* name;
  const char* processor;
  const char* option;
  lines heads;
};

class start_lines : public testing::TestWithParam<start_case> {
 protected:
  void SetUp() override { write_file("/data/vendor/sensors/Diag.cfg", ""); }
};

TEST_P(start_lines, directory_then_launch_lines_then_pause) {
  add_remoteproc("remoteproc0", GetParam().processor);
  start_odl_capture({"star", GetParam().option});
  const lines dirs = capture_dirs();
  ASSERT_EQ(dirs.size(), 1u);
  const std::string& d = dirs[0];
  EXPECT_TRUE(std::regex_match(d, std::regex(R"(/data/vendor/sensors/odl_sns_\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d)"))) << d;
  lines expected{"I handle_events: Daig : Diag.cfg present: starting trcap"};
  for (const auto& head : GetParam().heads) {
    expected.push_back("shell " + head + d + " -o " + d + " & ");
  }
  expected.push_back("pause 3000000");
  EXPECT_EQ(journal::entries(), expected);
  EXPECT_EQ(last_odl_command, "star");
}

const std::string head_g = "/vendor/bin/trcap -g 16384 -f /data/vendor/sensors/Diag.cfg -w ";
INSTANTIATE_TEST_SUITE_P(
    table, start_lines,
    testing::Values(
        start_case{"kora_default", "kora\n", "x", {head_g, "/vendor/bin/trcap -p 4 -f /data/vendor/sensors/Diag.cfg -w "}},
        start_case{"kora_packets", "kora\n", "enable_HLOS_packets", {head_g, "/vendor/bin/trcap -p 5 -f /data/vendor/sensors/Diag.cfg -w "}},
        start_case{"vela_default", "vela\n", "x", {"/vendor/bin/trcap -p 16 -f /data/vendor/sensors/Diag.cfg -w "}},
        start_case{"vela_packets", "vela\n", "enable_HLOS_packets", {"/vendor/bin/trcap -p 17 -f /data/vendor/sensors/Diag.cfg -w "}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(start_odl_capture, without_capture_configuration_does_nothing_and_logs_nothing) {
  start_odl_capture({"star", "enable_HLOS_packets"});
  EXPECT_TRUE(journal::entries().empty());
  EXPECT_TRUE(capture_dirs().empty());
  EXPECT_EQ(last_odl_command, " ");
}

TEST(start_odl_capture, repeated_start_logs_only_the_configuration_line) {
  write_file("/data/vendor/sensors/Diag.cfg", "");
  start_odl_capture({"star", "x"});
  journal::clear();
  start_odl_capture({"star", "x"});
  EXPECT_EQ(journal::entries(), lines{"I handle_events: Daig : Diag.cfg present: starting trcap"});
  EXPECT_EQ(capture_dirs().size(), 1u);
}

TEST(start_odl_capture, existing_directory_launches_nothing_and_next_start_tries_again) {
  write_file("/data/vendor/sensors/Diag.cfg", "");
  // Occupy the names of this second and the next few.
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 5; ++t) {
    std::tm local{};
    ASSERT_EQ(mkdir(capture_directory(localtime_r(&t, &local)).c_str(), 0777), 0);
  }
  start_odl_capture({"star", "x"});
  EXPECT_EQ(journal::entries(), (lines{"I handle_events: Daig : Diag.cfg present: starting trcap",
                                       "E handle_events: mkdir failed errno:17 - strerror: File exists\n"}));
  EXPECT_EQ(last_odl_command, " ");

  for (const auto& dir : capture_dirs()) {
    rmdir(dir.c_str());
  }
  journal::clear();
  start_odl_capture({"star", "x"});
  EXPECT_EQ(journal::count("pause 3000000"), 1u);
  EXPECT_EQ(last_odl_command, "star");
}

TEST(odl_commands, stop_and_start_alternate_through_the_last_command) {
  write_file("/data/vendor/sensors/Diag.cfg", "");
  flush_pipe flush;
  stop_odl_capture(without_packets, flush.write_end());
  start_odl_capture({"star", "x"});
  stop_odl_capture(without_packets, flush.write_end());
  EXPECT_EQ(journal::count("pause 5000000"), 2u);
  EXPECT_EQ(journal::count("pause 3000000"), 1u);
  EXPECT_EQ(flush.drained(), "11");
}

TEST(capture_directory, local_time_stamp_with_underscores) {
  std::tm t{};
  t.tm_year = 2025 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 1;
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(capture_directory(&t), "/data/vendor/sensors/odl_sns_2025_03_01_14_05_09");
}

TEST(capture_directory, fallback_without_local_time) {
  EXPECT_EQ(capture_directory(nullptr), "/data/vendor/sensors/odl_sns_date_time");
}

}  // namespace
