#include "diag/odl_capture.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/sensordaemon.h"
#include "diag/odl_commands.h"
#include "tests/fakes/device_files.h"
#include "tests/fakes/journal.h"

namespace {

using lines = std::vector<std::string>;
constexpr const char* fifo_path = "/data/vendor/sensors/sns_diag_flush";

std::string record(uint32_t mask, const std::string& name = "") {
  // Names are padded with zero bytes, as the kernel does.
  const std::string padded = name.empty() ? "" : name + std::string(16 - name.size() % 16, '\0');
  inotify_event head{};
  head.wd = 1;
  head.mask = mask;
  head.len = static_cast<uint32_t>(padded.size());
  return std::string(reinterpret_cast<const char*>(&head), sizeof head) + padded;
}

// The flush FIFO with a reader of the test's own, so that handle_events'
// blocking open for writing returns.
class odl_wakeup : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkfifo(fifo_path, 0666), 0);
    fifo_reader_ = open(fifo_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo_reader_, 0);
    ASSERT_EQ(pipe2(records_, O_CLOEXEC), 0);
    write_file("/data/vendor/sensors/Diag.cfg", "");
  }
  void TearDown() override {
    close(fifo_reader_);
    close(records_[0]);
    close(records_[1]);
  }
  // handle_events on records given as bytes, as an inotify read would.
  bool wake_up_with(const std::string& bytes) {
    EXPECT_EQ(write(records_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return handle_events(records_[0]);
  }
  std::string flushed() {
    char buffer[64];
    const ssize_t n = read(fifo_reader_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }
  std::vector<std::string> shell_lines() {
    std::vector<std::string> found;
    for (const auto& entry : journal::entries()) {
      if (entry.rfind("shell ", 0) == 0) {
        found.push_back(entry.substr(6));
      }
    }
    return found;
  }

  int fifo_reader_ = -1;
  int records_[2] = {-1, -1};
};

TEST_F(odl_wakeup, stop_record_reads_file_then_dispatches) {
  write_file(odl_command_file, "stop\nenable_HLOS_packets\n");
  EXPECT_TRUE(wake_up_with(record(IN_MODIFY)));
  EXPECT_EQ(journal::entries(), (lines{"D get_odl_commands:  line(command): stop ",
                                       "D get_odl_commands:  line(command): enable_HLOS_packets ",
                                       "I handle_events: handle_event : IN_MODIFY",
                                       "I handle_events: Daig : Killing current ODL instance ",
                                       "shell /vendor/bin/trcap -k -p 17", "pause 5000000"}));
  EXPECT_EQ(flushed(), "1");
}

TEST_F(odl_wakeup, every_modify_record_dispatches_with_the_same_list) {
  write_file(odl_command_file, "stop\nx\n");
  EXPECT_TRUE(wake_up_with(record(IN_MODIFY) + record(IN_MODIFY) + record(IN_MODIFY)));
  EXPECT_EQ(journal::count("I handle_events: handle_event : IN_MODIFY"), 3u);
  // The last command makes the second and third stop do nothing.
  EXPECT_EQ(shell_lines(), lines{"/vendor/bin/trcap -k -p 16"});
  EXPECT_EQ(flushed(), "1");
}

TEST_F(odl_wakeup, records_without_modify_do_not_dispatch_and_names_are_logged) {
  write_file(odl_command_file, "stop\nx\n");
  EXPECT_TRUE(wake_up_with(record(IN_CREATE, "file1") + record(IN_MODIFY, "other")));
  EXPECT_EQ(journal::entries(), (lines{"D get_odl_commands:  line(command): stop ",
                                       "D get_odl_commands:  line(command): x ",
                                       "I handle_events: event : file1 ",
                                       "I handle_events: handle_event : IN_MODIFY",
                                       "I handle_events: Daig : Killing current ODL instance ",
                                       "shell /vendor/bin/trcap -k -p 16", "pause 5000000",
                                       "I handle_events: event : other "}));
}

struct quiet_case {
  const char* name;
  std::string file;
};

class file_that_runs_nothing : public odl_wakeup, public testing::WithParamInterface<quiet_case> {};

TEST_P(file_that_runs_nothing, logs_lines_and_record_only) {
  write_file(odl_command_file, GetParam().file);
  EXPECT_TRUE(wake_up_with(record(IN_MODIFY)));
  EXPECT_TRUE(shell_lines().empty());
  EXPECT_EQ(journal::count("pause 5000000") + journal::count("pause 3000000"), 0u);
  EXPECT_EQ(journal::count("I handle_events: handle_event : IN_MODIFY"), 1u);
  EXPECT_EQ(flushed(), "");
  EXPECT_EQ(last_odl_command, " ");
}

INSTANTIATE_TEST_SUITE_P(cases, file_that_runs_nothing,
                         testing::Values(quiet_case{"one_line", "stop\n"}, quiet_case{"empty", ""},
                                         quiet_case{"start_is_not_star", "start\nenable_HLOS_packets\n"},
                                         quiet_case{"carriage_return", "stop\r\nx\r\n"},
                                         quiet_case{"capital", "STOP\nx\n"},
                                         quiet_case{"boot_command", std::string("start\n\0", 7)},
                                         quiet_case{"command_on_third_line", "x\ny\nstop\n"}),
                         [](const auto& test_case) { return test_case.param.name; });

TEST_F(odl_wakeup, blank_lines_before_and_between_do_not_matter) {
  write_file(odl_command_file, "\nstop\n\nx\n");
  EXPECT_TRUE(wake_up_with(record(IN_MODIFY)));
  EXPECT_EQ(shell_lines(), lines{"/vendor/bin/trcap -k -p 16"});
}

TEST_F(odl_wakeup, only_the_first_two_lines_count) {
  write_file(odl_command_file, "stop\nx\nstar\nenable_HLOS_packets\n");
  EXPECT_TRUE(wake_up_with(record(IN_MODIFY)));
  EXPECT_EQ(shell_lines(), lines{"/vendor/bin/trcap -k -p 16"});
}

TEST_F(odl_wakeup, hostile_lines_never_reach_the_shell) {
  const std::vector<std::string> hostile = {
      "stop; touch /data/pwned",
      "star && touch /data/pwned",
      "$(touch /data/pwned)",
      "`touch /data/pwned`",
      "star'; touch /data/pwned; '",
      "enable_HLOS_packets\"; touch /data/pwned; \"",
      std::string(1 << 20, ';'),
      std::string("star\0; touch /data/pwned", 24),
  };
  const std::regex allowed(
      R"(/vendor/bin/trcap -k -p (4|5|16|17)|/vendor/bin/trcap -k -g 16384 |)"
      R"(/vendor/bin/trcap -(g 16384|p 4|p 5|p 16|p 17) -f /data/vendor/sensors/Diag\.cfg -w )"
      R"((/data/vendor/sensors/odl_sns_[0-9_]{19}) -o \3 & )");
  for (const auto& first : hostile) {
    for (const auto& second : hostile) {
      write_file(odl_command_file, first + "\n" + second + "\n");
      ASSERT_TRUE(wake_up_with(record(IN_MODIFY)));
    }
    // Around each set, real commands with a hostile option.
    write_file(odl_command_file, "stop\n" + first + "\n");
    ASSERT_TRUE(wake_up_with(record(IN_MODIFY)));
    write_file(odl_command_file, "star\n" + first + "\n");
    ASSERT_TRUE(wake_up_with(record(IN_MODIFY)));
    for (const auto& line : shell_lines()) {
      EXPECT_TRUE(std::regex_match(line, allowed)) << line;
    }
    journal::clear();
  }
}

TEST_F(odl_wakeup, missing_fifo_ends_the_task_with_its_path) {
  unlink(fifo_path);
  write_file(odl_command_file, "stop\nx\n");
  EXPECT_FALSE(wake_up_with(record(IN_MODIFY)));
  EXPECT_EQ(journal::entries(),
            lines{"E handle_events:  Unable to open the pipe : /data/vendor/sensors/sns_diag_flush"});
}

TEST_F(odl_wakeup, read_of_nothing_ends_the_task_silently) {
  write_file(odl_command_file, "stop\nx\n");
  close(records_[1]);
  records_[1] = -1;
  EXPECT_FALSE(handle_events(records_[0]));
  EXPECT_TRUE(shell_lines().empty());
  EXPECT_EQ(journal::count("I handle_events: handle_event : IN_MODIFY"), 0u);
}

TEST_F(odl_wakeup, read_error_ends_the_task_with_errno) {
  EXPECT_FALSE(handle_events(records_[1]));  // the write end cannot be read
  EXPECT_EQ(journal::entries().back(), "E handle_events:  perror read : 9 ");
}

TEST_F(odl_wakeup, would_block_ends_the_task_without_a_message) {
  write_file(odl_command_file, "stop\nx\n");
  fcntl(records_[0], F_SETFL, O_NONBLOCK);
  EXPECT_FALSE(handle_events(records_[0]));
  for (const auto& entry : journal::entries()) {
    EXPECT_EQ(entry.rfind("E ", 0), std::string::npos) << entry;
  }
}

TEST_F(odl_wakeup, record_names_beyond_the_buffer_are_not_read) {
  // A name length pointing past the 4096 bytes, and a full buffer of records.
  inotify_event head{};
  head.mask = IN_MODIFY;
  head.len = 0xfffffff0u;
  std::string bytes(reinterpret_cast<const char*>(&head), sizeof head);
  bytes += std::string(4096 - bytes.size(), 'n');
  write_file(odl_command_file, "stop\nx\n");
  EXPECT_TRUE(wake_up_with(bytes));
  EXPECT_EQ(journal::count("I handle_events: handle_event : IN_MODIFY"), 1u);
}

TEST(handle_events, regular_file_at_the_fifo_path_is_never_written) {
  write_file(fifo_path, "somebody's data");
  write_file(odl_command_file, "stop\nx\n");
  int records[2];
  ASSERT_EQ(pipe2(records, O_CLOEXEC), 0);
  const std::string bytes = record(IN_MODIFY);
  ASSERT_EQ(write(records[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_TRUE(handle_events(records[0]));
  close(records[0]);
  close(records[1]);
  EXPECT_EQ(journal::count("shell /vendor/bin/trcap -k -p 16"), 1u);
  EXPECT_EQ(read_file(fifo_path), "somebody's data");
}

TEST(trcap_capture, empties_the_command_file_makes_it_0777_and_serves_writes) {
  write_file(odl_command_file, std::string("start\n\0", 7));
  chmod(odl_command_file, 0600);
  ASSERT_EQ(mkfifo(fifo_path, 0666), 0);
  const int reader = open(fifo_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::thread([] { trcap_capture(); }).detach();  // never returns; ends with the test process
  ASSERT_TRUE(journal::wait_for("I trcap_capture:  before poll - for modify event"));
  EXPECT_EQ(journal::entries(), (lines{"I trcap_capture:  in trcap_capture ", "pause 2000000",
                                       "I trcap_capture:  before poll - for modify event"}));
  struct stat st{};
  ASSERT_EQ(stat(odl_command_file, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 07777, 0777u);

  write_over(odl_command_file, "stop\nenable_HLOS_packets\n");
  ASSERT_TRUE(journal::wait_for("I trcap_capture:  before poll - for modify event", 2));
  EXPECT_EQ(journal::count("shell /vendor/bin/trcap -k -p 17"), 1u);
  char byte = 0;
  EXPECT_EQ(read(reader, &byte, 1), 1);
  EXPECT_EQ(byte, '1');
  close(reader);
}

TEST(trcap_capture, unreachable_command_file_logs_the_permission_error_and_still_waits) {
  rmdir("/data/vendor/sensors");
  std::thread([] { trcap_capture(); }).detach();
  ASSERT_TRUE(journal::wait_for("I trcap_capture:  before poll - for modify event"));
  EXPECT_EQ(journal::count("E trcap_capture: fail to change permission on diag_odl_file, err = 2, "
                           "No such file or directory"),
            1u);
}

}  // namespace
