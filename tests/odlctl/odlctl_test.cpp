// odlctl's command line, its decisions on devices described by hand, and what
// it reads off a sensors directory laid out by the test (the sandbox's own),
// all without a daemon.
#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "odlctl/commands.h"
#include "tests/fakes/fakes.h"

namespace {

using android::base::unique_fd;
using odl::action;
using std::chrono::seconds;

// 2026-12-06 22:00:00 UTC and `second` seconds; the test runs in UTC.
wall_time at(int second) { return wall_time(seconds(1796594400 + second)); }
const bool utc = setenv("TZ", "UTC", 1) == 0;
const std::string dir = "/r/data/vendor/sensors/odl_sns_2026_12_06_22_00_10";

struct parse_case {
  const char* name;
  std::vector<const char*> words;
  std::string refused;
};

class arguments_of : public testing::TestWithParam<parse_case> {};

TEST_P(arguments_of, are_taken_or_refused_by_the_word_at_fault) {
  std::vector<char*> argv = {const_cast<char*>("odlctl")};
  for (const char* word : GetParam().words) argv.push_back(const_cast<char*>(word));
  EXPECT_EQ(parse_arguments(static_cast<int>(argv.size()), argv.data()).refused,
            GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(
    table, arguments_of,
    testing::Values(
        parse_case{
            "options_around_the_command", {"--root=/", "start", "--for", "9", "--background"}, ""},
        parse_case{"options_end_before_the_command", {"--", "status"}, ""},
        parse_case{"unknown_command", {"stats"}, "unknown command stats"},
        parse_case{"cluster_after_a_value", {"--root", "D", "-xy", "status"}, "unknown option -xy"},
        parse_case{"cluster_after_the_command", {"status", "-xy"}, "unknown option -xy"},
        parse_case{
            "value_of_a_flag", {"start", "--packets=1"}, "--packets=1: --packets takes no value"},
        parse_case{"zero_length",
                   {"start", "--for", "0"},
                   "--for '0': not plain digits from 1 up to 1000000000"},
        parse_case{"blank_before_digits",
                   {"stop", "--wait", " 5"},
                   "--wait ' 5': not plain digits up to 1000000000"},
        parse_case{"option_twice", {"start", "--packets", "--packets"}, "--packets given twice"},
        parse_case{
            "wait_with_status", {"status", "--wait", "5"}, "--wait goes with start and stop only"}),
    by_name);

// A device at 22:01:40 with the capture of 22:00:10, its tool pid 16 of the
// default variant when it runs.
struct device {
  look s;
  explicit device(bool hidden = false) {
    s.processes.blind.hidden = hidden;
    s.root = "/r";
    s.sensors = "/r/data/vendor/sensors";
    s.now = at(100);
  }
  device& capture(run_state state, bool grows = false) {
    s.captures.push_back({.name = dir.substr(23),
                          .path = dir,
                          .id = {1, 10},
                          .rank = at(10),
                          .state = state,
                          .grows = grows});
    if (state == run_state::running) {
      s.processes.tools.push_back(
          {16, "-p 16", tool_variant::default_variant, dir.substr(2), {{1, 10}}});
      s.captures.back().tools = s.processes.tools;
    }
    return *this;
  }
  device& command(action what, bool packets = false) {
    s.command = {"", {what, packets}, at(10)};
    return *this;
  }
};

struct decision_case {
  const char* name;
  std::function<std::optional<answer>(const look&)> decide;
  device seen;
};

// What each row says, "exit status|standard output|standard error" with line feeds as \n, or
// "none" without an answer; DIR stands for /r/data/vendor/sensors/odl_sns_2026_12_06_22_00_10.
const std::string said = R"(
no_config 1||no capture configuration /r/data/vendor/sensors/Diag.cfg: the daemon starts no capture without it
repeated_start_waits_for_the_daemon none
repeated_start_of_an_unknown_capture 1||the last command was start already and DIR is unknown: /proc hides other users' processes: the daemon does nothing on a repeated command
started_growing 0|started: DIR (variant unknown: its capture tool cannot be seen, it grows)\n|
appeared_without_tool 1||DIR appeared, but no capture tool runs for it: it did not start, or ended at once
appeared_unknown 1||DIR appeared, but whether a capture tool runs for it is unknown: /proc hides other users' processes
start_ignored 1||no new capture directory appeared: the daemon carried out the start of DIR and starts nothing before a stop, though its capture tool no longer runs: odlctl stop, then odlctl start
not_ended_on_kill 1||the last command was stop already, but pid 16 (-p 16 into DIR) did not end on its kill: the daemon does nothing on a repeated stop
ignored_after_other_stop 1||the last command was stop --packets, after which the daemon ignores every stop, whatever its variant: pid 16 (-p 16 into DIR) runs on; odlctl start then odlctl stop end it
unknown_after_stop 1||the last command was stop already, and /proc hides other users' processes: whether capture tools of the default variant run is unknown
stop_unknown 1||stop written, but /proc hides other users' processes: whether the capture tools ended is unknown, and DIR grows
still_running 1||stop written, but capture tools of the default variant still run: pid 16 (-p 16 into DIR)
)";

class decisions : public testing::TestWithParam<decision_case> {};

TEST_P(decisions, say_what_the_device_shows) {
  const std::optional<answer> a = GetParam().decide(GetParam().seen.s);
  const verdict v = a ? say(GetParam().seen.s, *a) : verdict{};
  std::string told = a ? std::to_string(v.status) + "|" + v.out + "|" + v.err : "none";
  for (size_t at = 0; (at = told.find('\n', at)) != std::string::npos;) told.replace(at, 1, "\\n");
  for (size_t at = 0; (at = told.find(dir, at)) != std::string::npos;)
    told.replace(at, dir.size(), "DIR");
  const std::string row = "\n" + std::string(GetParam().name) + " " + told + "\n";
  EXPECT_NE(said.find(row), std::string::npos) << "said: " << told;
}

const auto start_settled = [](const look& s) { return decide_start(s, true); };
const auto stop_settled = [](const look& s) { return decide_stop(s, false, true); };
const auto stop_ended = [](const look& s) { return stop_seen(s, false, true, true); };
const auto started_from = [](const device& before) {
  return [before](const look& s) { return start_seen(before.s, s, true); };
};
const auto unsettled_start = [](const look& s) { return decide_start(s, false); };
const auto without_config = [](look s) {
  s.config_error = ENOENT;
  return decide_start(s, false);
};
using state = run_state;

INSTANTIATE_TEST_SUITE_P(
    table, decisions,
    testing::Values(
        decision_case{"no_config", without_config, device()},
        decision_case{"repeated_start_waits_for_the_daemon", unsettled_start,
                      device().capture(state::running).command(action::start)},
        decision_case{"repeated_start_of_an_unknown_capture", start_settled,
                      device(true).capture(state::unknown).command(action::start)},
        decision_case{"started_growing", started_from(device()),
                      device(true).capture(state::unknown, true)},
        decision_case{"appeared_without_tool", started_from(device()),
                      device().capture(state::finished)},
        decision_case{"appeared_unknown", started_from(device()),
                      device(true).capture(state::unknown)},
        decision_case{"start_ignored",
                      started_from(device().capture(state::finished).command(action::start)),
                      device().capture(state::finished)},
        decision_case{"not_ended_on_kill", stop_settled,
                      device().capture(state::running).command(action::stop)},
        decision_case{"ignored_after_other_stop", stop_settled,
                      device().capture(state::running).command(action::stop, true)},
        decision_case{"unknown_after_stop", stop_settled, device(true).command(action::stop)},
        decision_case{"stop_unknown", stop_ended, device(true).capture(state::unknown, true)},
        decision_case{"still_running", stop_ended, device().capture(state::running)}),
    by_name);

TEST(blind_text, names_who_may_see_what_is_unseen) {
  const blind_spots b{.unreadable = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 7}},
                      .unresolved = {8}};
  const std::string who = "pid 1 (uid 0), 2 (uid 0), 3 (uid 0), 4 (uid 0), 5 (uid 0), 1 more";
  const std::string told =
      " writes cannot be told (its directory is gone, moved, or not on its command line)";
  EXPECT_EQ(blind_text(b),
            who + " cannot be read by uid " + std::to_string(geteuid()) +
                ": root, or their own user, may read them, where capture tool pid 8" + told);
}

TEST(times, of_a_future_command_and_a_stop_on_another_day) {
  EXPECT_EQ(pause_left({"", {action::stop, false}, at(3600)}, at(0)), seconds(10));
  EXPECT_EQ(clock_text(at(3600), at(0)), "23:00:00");
  EXPECT_EQ(clock_text(at(7200), at(0)), "2026-12-07 00:00:00");
}

// The sandbox's own sensors directory, as a hostile device lays it out.
const std::string real = odl::sensors_directory;
const std::string file = odl::command_file;
const std::string pipe_path = odl::flush_pipe_path;
const std::string target = real + "/target";

struct hostile_case {
  const char* name;
  std::string command_file;  // "link", "second name", "fifo", "none" or "file"
  std::string pipe;          // "link", "file", "none", "unread", "unwritable" or "sensors link"
  std::string command_said;  // what opening the command file says
  std::string pipe_said;     // what the flush pipe's probe says
};

class hostile_files : public testing::TestWithParam<hostile_case> {};

TEST_P(hostile_files, are_named_and_never_followed_or_waited_for) {
  write_file(target, "");
  const hostile_case& c = GetParam();
  if (c.command_file == "link" || c.pipe == "link")
    symlink(target.c_str(), (c.pipe == "link" ? pipe_path : file).c_str());
  if (c.command_file == "second name") link(target.c_str(), file.c_str());
  if (c.command_file == "fifo") mkfifo(file.c_str(), 0666);
  if (c.command_file == "file") write_file(file, "");
  if (c.pipe == "file") write_file(pipe_path, "");
  if (c.pipe == "unread" || c.pipe == "unwritable") {
    mkfifo(pipe_path.c_str(), 0);
    chmod(pipe_path.c_str(), c.pipe == "unread" ? 0666 : 0400);
  }
  if (c.pipe == "sensors link") rename(real.c_str(), (real + ".away").c_str());
  if (c.pipe == "sensors link") symlink((real + ".away").c_str(), real.c_str());
  std::string error;
  const unique_fd sensors = open_sensors("", error);
  unique_fd opened;
  EXPECT_EQ(sensors.ok() ? open_command_file(sensors.get(), "", O_RDWR, opened) : error,
            c.command_said);
  int why = 0;
  std::string probed;
  // A probe as nobody, where mode bits bind only an ordinary user.
  std::thread([&] {
    if (geteuid() == 0) syscall(SYS_setresuid, 65534, 65534, 65534);
    probed = sensors.ok() ? pipe_text(probe_flush_pipe(sensors.get(), nullptr, why), why) : "";
  }).join();
  EXPECT_EQ(probed, c.pipe_said);
}

INSTANTIATE_TEST_SUITE_P(
    table, hostile_files,
    testing::Values(
        hostile_case{"command_file_a_link", "link", "none",
                     "command file " + file + " is a symbolic link: not followed", "missing"},
        hostile_case{"command_file_with_a_second_name", "second name", "link",
                     "command file " + file +
                         " has 2 links: left alone, a write would reach the other names too",
                     "a symbolic link, not followed"},
        hostile_case{"command_file_a_fifo", "fifo", "file",
                     "command file " + file + " is not a regular file: left alone", "not a FIFO"},
        hostile_case{"pipe_not_served", "none", "unread",
                     "no command file " + file + ": the daemon has not set it up (is it running?)",
                     "not served (nothing reads it)"},
        hostile_case{"pipe_not_permitted", "file", "unwritable", "",
                     "not permitted (this user may not write into it)"},
        hostile_case{"sensors_directory_a_link", "file", "sensors link",
                     "cannot read " + real + ": " + real +
                         " is a symbolic link or no directory: not followed",
                     ""}),
    by_name);

TEST(request_flush, into_a_pipe_full_or_whose_reader_went_away_is_named_without_dying) {
  unique_fd reader;
  unique_fd writer;
  ASSERT_TRUE(android::base::Pipe(&reader, &writer, O_NONBLOCK | O_CLOEXEC));
  testing::internal::CaptureStdout();
  EXPECT_EQ(request_flush(writer.get(), "P"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "flush requested\n");
  while (write(writer.get(), "1", 1) == 1) {
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(request_flush(writer.get(), "P"), 1);
  reader.reset();
  EXPECT_EQ(request_flush(writer.get(), "P"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "odlctl: cannot write into P: the pipe is full (Resource temporarily unavailable)\n"
            "odlctl: cannot write into P: its reader went away (Broken pipe)\n");
}

TEST(read_device, takes_only_real_capture_directories_and_the_first_two_lines) {
  for (const char* name :
       {"2026_12_06_22_00_10", "date_time", "2023_02_29_00_00_00", "2026_12_06_22_0_30"}) {
    ASSERT_EQ(mkdir((real + "/odl_sns_" + name).c_str(), 0755), 0) << name;
  }
  symlink((real + "/odl_sns_date_time").c_str(), (real + "/odl_sns_2026_12_06_22_00_20").c_str());
  write_file(file, "\nstop\n\nenable_HLOS_packets\nstar\n");
  const snapshot s = read_device("");
  std::string seen;
  for (const capture& c : s.captures) seen += c.name + " ";
  EXPECT_EQ(seen, "odl_sns_date_time odl_sns_2026_12_06_22_00_10 ");
  EXPECT_EQ(std::tuple(s.command.command.what, s.command.command.packets, s.pipe),
            std::tuple(action::stop, true, pipe_state::missing));
}

}  // namespace
