// The on-device-logging command channel: the walk over inotify records, the
// wake-ups of the watch on records made by hand, and the capture tool's
// command lines as the fake env records them.
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>

#include "daemon/sensordaemon.h"
#include "diag/inotify_records.h"
#include "diag/odl_capture.h"
#include "diag/odl_commands.h"
#include "diag/odl_control.h"
#include "interfaces/odl_protocol.h"
#include "tests/fakes/fakes.h"

namespace {

using lines = std::vector<std::string>;

// A record's head and its name, padded with zero bytes to `name_length` as the kernel does.
std::string record(uint32_t mask, uint32_t name_length = 0, const std::string& name = "") {
  const inotify_event head{0, mask, 0, name_length};
  return std::string(reinterpret_cast<const char*>(&head), sizeof head) + name +
         std::string(name.empty() ? 0 : name_length - name.size(), '\0');
}

struct walk_case {
  const char* name;
  std::string bytes;
  size_t capacity;
  size_t length;
  lines visited;  // "mask:name"
};

class inotify_walk : public testing::TestWithParam<walk_case> {};

TEST_P(inotify_walk, visits_the_records_read_and_nothing_outside_the_buffer) {
  // A heap buffer of exactly the capacity, so that AddressSanitizer sees a read past it.
  std::vector<char> buffer(GetParam().capacity);
  std::memcpy(buffer.data(), GetParam().bytes.data(),
              std::min(buffer.size(), GetParam().bytes.size()));
  lines visited;
  for_each_inotify_record(
      buffer.data(), buffer.size(), GetParam().length,
      [&](const inotify_record& r) { visited.push_back(std::to_string(r.mask) + ":" + r.name); });
  EXPECT_EQ(visited, GetParam().visited);
}

const std::string three = record(IN_MODIFY) + record(IN_CREATE, 16, "file1") + record(IN_MODIFY);
const std::string long_name = record(IN_MODIFY, 64, std::string(64, 'a'));
const std::string two = record(IN_MODIFY) + record(IN_MODIFY);

INSTANTIATE_TEST_SUITE_P(
    table, inotify_walk,
    testing::Values(
        walk_case{"three_records", three, 4096, three.size(), {"2:", "256:file1", "2:"}},
        walk_case{"up_to_the_bytes_read", three, 4096, 16, {"2:"}},
        walk_case{"name_cut_at_the_buffer", long_name, 48, 48, {"2:" + std::string(32, 'a')}},
        walk_case{"head_ending_at_the_end", two, 32, 32, {"2:", "2:"}},
        walk_case{"name_past_the_end_by_one", long_name, 79, 79, {"2:" + std::string(63, 'a')}},
        walk_case{"head_begun_in_the_last_15_bytes", two.substr(0, 31), 31, 31, {"2:"}}),
    by_name);

TEST(handle_events, applies_two_lines_once_per_modification_record_and_ends_on_a_failed_read) {
  // A regular file where the flush pipe should be: a stop writes no request into it.
  write_file(odl::flush_pipe_path, "not a pipe\n");
  android::base::unique_fd records_in, records_out;
  ASSERT_TRUE(android::base::Pipe(&records_in, &records_out, O_NONBLOCK | O_CLOEXEC));
  const auto wake_up = [&](const std::string& file, const std::string& bytes) {
    write_file(odl::command_file, file);
    EXPECT_EQ(write(records_out.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    return handle_events(records_in.get());
  };
  const std::string stop = "D get_odl_commands:  line(command): stop ";
  const std::string modified = "I handle_events: handle_event : IN_MODIFY";
  EXPECT_TRUE(wake_up("stop\n", record(IN_MODIFY)));
  EXPECT_TRUE(
      wake_up("stop\nx\n", record(IN_MODIFY) + record(IN_CREATE, 16, "file1") + record(IN_MODIFY)));
  EXPECT_FALSE(wake_up("stop\nx\n", ""));  // would block: ends without a message
  records_out.reset();
  EXPECT_FALSE(handle_events(records_in.get()));  // end of file
  const std::string x = "D get_odl_commands:  line(command): x ";
  EXPECT_EQ(journal::take(),
            (lines{stop, modified, stop, x, modified,
                   "I handle_events: Daig : Killing current ODL instance ",
                   "shell /vendor/bin/trcap -k -p 16", "pause 5000000",
                   "I handle_events: event : file1 ", modified, stop, x, stop, x}));
  std::ifstream flush_file(odl::flush_pipe_path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(flush_file), {}), "not a pipe\n");
}

struct command_case {
  const char* name;
  const char* processor;
  lines commands;
  lines journal;  // <dir> is the time-stamped capture directory
};

class command_lines : public testing::TestWithParam<command_case> {};

// Kill lines run to their end; launch lines run the tool in the background.
TEST_P(command_lines, run_through_the_shell_in_order_then_the_pause) {
  write_file("/data/vendor/sensors/Diag.cfg", "");
  mkdir("/sys/class/remoteproc/remoteproc0", 0755);
  write_file("/sys/class/remoteproc/remoteproc0/name", GetParam().processor);
  const lines& commands = GetParam().commands;
  if (commands[0] == "stop") {
    stop_odl_capture(commands, -1);  // the flush request is the roads' to check
  } else {
    start_odl_capture(commands);
  }
  lines logged = journal::take();
  for (std::string& line : logged) {
    line = std::regex_replace(line, std::regex(R"(/data/vendor/sensors/odl_sns_\d{4}(_\d\d){5})"),
                              "<dir>");
  }
  EXPECT_EQ(logged, GetParam().journal);
  EXPECT_EQ(last_odl_command, commands[0]);
}

const std::string killing = "I handle_events: Daig : Killing current ODL instance ";
const std::string starting = "I handle_events: Daig : Diag.cfg present: starting trcap";
const std::string into_dir = " -f /data/vendor/sensors/Diag.cfg -w <dir> -o <dir> & ";

INSTANTIATE_TEST_SUITE_P(
    table, command_lines,
    testing::Values(
        command_case{"kora_stop",
                     "kora",
                     {"stop", "x"},
                     {killing, "shell /vendor/bin/trcap -k -p 4",
                      "shell /vendor/bin/trcap -k -g 16384 ", "pause 5000000"}},
        command_case{"other_stop_packets",
                     "adsp",
                     {"stop", "enable_HLOS_packets"},
                     {killing, "shell /vendor/bin/trcap -k -p 17", "pause 5000000"}},
        command_case{"vela_start_packets",
                     "vela",
                     {"star", "enable_HLOS_packets"},
                     {starting, "shell /vendor/bin/trcap -p 17" + into_dir, "pause 3000000"}},
        command_case{"option_with_a_trailing_blank",
                     "vela",
                     {"star", "enable_HLOS_packets "},
                     {starting, "shell /vendor/bin/trcap -p 16" + into_dir, "pause 3000000"}}),
    by_name);

}  // namespace
