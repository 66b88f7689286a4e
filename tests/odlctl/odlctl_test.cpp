// odlctl's command line, its decisions on devices described by hand, and what
// it reads off a sensors directory laid out by the test (the sandbox's own),
// all without a daemon.
#include <gtest/gtest.h>

#include "odlctl/commands.h"
#include "odlctl/watch.h"
#include "tests/fakes/fakes.h"

namespace {

using std::chrono::seconds;

// 2026-12-06 22:00:00 UTC and `second` seconds; the test runs in UTC.
wall_time at(int second) { return wall_time(seconds(1796594400 + second)); }
const bool utc = setenv("TZ", "UTC", 1) == 0;
const std::string sensors = "/r/data/vendor/sensors";
const std::string stamp = "odl_sns_2026_12_06_22_00_";

struct parse_case {
  const char* name;
  std::vector<const char*> words;
  std::string refused;
};

class arguments_of : public testing::TestWithParam<parse_case> {};

TEST_P(arguments_of, are_taken_or_refused_by_the_word_at_fault) {
  std::vector<char*> argv = {const_cast<char*>("odlctl")};
  for (const char* word : GetParam().words) {
    argv.push_back(const_cast<char*>(word));
  }
  EXPECT_EQ(parse_arguments(static_cast<int>(argv.size()), argv.data()).refused,
            GetParam().refused);
}

const std::string digits = "': not a directory, or not plain digits up to 1000000000";

INSTANTIATE_TEST_SUITE_P(
    table, arguments_of,
    testing::Values(
        parse_case{"options_around_the_command",
                   {"--root", "/", "start", "--for", "9", "--background"},
                   ""},
        parse_case{"no_command", {}, "no command"},
        parse_case{"unknown_command", {"stats"}, "refused command stats"},
        parse_case{"unknown_option", {"--frob", "status"}, "unknown option --frob"},
        parse_case{"blank_before_digits", {"stop", "--wait", " 5"}, "--wait ' 5" + digits},
        parse_case{"empty_root", {"--root", "", "status"}, "--root '" + digits},
        parse_case{"option_twice", {"start", "--packets", "--packets"}, "--packets given twice"},
        parse_case{
            "wait_with_status", {"status", "--wait", "5"}, "--wait goes with start and stop only"},
        parse_case{"timed_without_wait",
                   {"start", "--for", "5", "--wait", "0"},
                   "--for needs a wait for the start"}),
    by_name);

// A device at 22:01:40 whose captures are named by the second of their stamp.
struct device {
  snapshot s;
  explicit device(bool hidden = false) {
    s.blind.hidden = hidden;
    s.root = "/r";
    s.sensors = sensors;
    s.now = at(100);
  }
  // With a capture tool of the default variant (pid 16) or the packet variant (pid 17).
  device& capture(int second, run_state state, pid_t tool = 0, bool grows = false) {
    ::capture& c = s.captures.emplace_back();
    c.name = stamp + std::to_string(second);
    c.path = sensors + "/" + c.name;
    c.id = {1, static_cast<ino_t>(second)};
    c.rank = at(second);
    c.state = state;
    c.grows = grows;
    const tool_variant variant =
        tool == 17 ? tool_variant::packets_variant : tool_variant::default_variant;
    const std::string option = "-p " + std::to_string(tool);
    const std::string output = "/data/vendor/sensors/" + c.name;
    if (tool != 0) {
      s.tools.push_back({tool, option, variant, output, c.id});
      c.tools = {s.tools.back()};
    }
    return *this;
  }
  device& command(const char* first, bool packets, int second) {
    s.command = {"", first, packets ? "enable_HLOS_packets" : "default", at(second)};
    return *this;
  }
};

struct decision_case {
  const char* name;
  std::function<std::optional<answer>(const snapshot&)> decide;
  device seen;
  std::string said;  // "exit status|standard output|standard error", "none" for no answer
};

class decisions : public testing::TestWithParam<decision_case> {};

TEST_P(decisions, say_what_the_device_shows) {
  const std::optional<answer> a = GetParam().decide(GetParam().seen.s);
  const verdict v = a ? say(GetParam().seen.s, *a, stamp + "10") : verdict{};
  const std::string said = std::to_string(v.status) + "|" + v.out + "|" + v.err;
  EXPECT_EQ(a ? said : "none", GetParam().said);
}

const own_capture own{stamp + "10", false, at(10)};
const auto stop_settled = [](const snapshot& s) { return decide_stop(s, false, true); };
const auto timed_settled = [](const snapshot& s) { return decide_timed_stop(s, own, true); };
const std::string dir = sensors + "/" + stamp;

INSTANTIATE_TEST_SUITE_P(
    table, decisions,
    testing::Values(
        decision_case{"repeated_start_waits_for_the_daemon",
                      [](const snapshot& s) { return decide_start(s, false); },
                      device().capture(10, run_state::running, 16).command("star", false, 99),
                      "none"},
        decision_case{"start_unknown_where_proc_hides_processes",
                      [](const snapshot& s) { return start_seen(snapshot{}, s, true); },
                      device(true).capture(10, run_state::unknown),
                      "1||" + dir +
                          "10 appeared, but whether a capture tool runs for it is unknown: /proc "
                          "hides other users' processes"},
        decision_case{
            "stop_after_a_stop_whose_kill_did_not_end_the_tool", stop_settled,
            device().capture(10, run_state::running, 16).command("stop", false, 50),
            "1||the last command was stop already, but pid 16 (-p 16 into " + dir +
                "10) did not end on its kill: the daemon does nothing on a repeated stop"},
        decision_case{"stop_unknown_where_proc_hides_processes",
                      [](const snapshot& s) { return stop_seen(s, false, true, true); },
                      device(true).capture(10, run_state::unknown, 0, true),
                      "1||stop written, but /proc hides other users' processes: whether the "
                      "capture tools ended is unknown, and " +
                          dir + "10 grows"},
        decision_case{"guard_waits_for_the_daemon_to_read_another_stop",
                      [](const snapshot& s) { return decide_timed_stop(s, own, false); },
                      device().capture(10, run_state::running, 16).command("stop", false, 90),
                      "none"},
        decision_case{
            "guard_whose_capture_moved", timed_settled, device(true).command("stop", false, 90),
            "1||another controller wrote stop meanwhile, and whether " + dir +
                "10 still runs is unknown (/proc hides other users' processes): nothing written"},
        decision_case{"guard_after_another_start_ignored", timed_settled,
                      device().capture(10, run_state::running, 16).command("star", true, 90),
                      "0||"}),
    by_name);

TEST(plan_prune, keeps_the_newest_and_what_runs_grows_is_unknown_or_another_file_system) {
  device d;
  d.capture(50, run_state::finished)
      .capture(40, run_state::running, 16)
      .capture(30, run_state::unknown);
  d.capture(20, run_state::finished, 0, true)
      .capture(10, run_state::finished)
      .capture(5, run_state::finished);
  d.s.captures.back().mount_point = true;
  std::vector<keep_reason> kept;
  for (const auto& [c, why] : plan_prune(d.s, 1)) {
    kept.push_back(why);
  }
  EXPECT_EQ(kept, (std::vector{keep_reason::running, keep_reason::unknown, keep_reason::grows,
                               keep_reason::none, keep_reason::mount_point}));
}

TEST(proc_hidden, from_the_mount_options_or_a_process_that_must_be_seen) {
  const std::string mount = "22 1 0:21 / /proc rw,nosuid - proc proc rw,";
  EXPECT_FALSE(proc_hidden(mount + "relatime", 1000, true, 7));
  EXPECT_TRUE(proc_hidden(mount + "hidepid=invisible", 1000, true, 7));
  EXPECT_FALSE(proc_hidden(mount + "hidepid=2", 0, true, 7));
  EXPECT_TRUE(proc_hidden(mount + "relatime", 0, false, 7));
}

TEST(times, of_a_future_command_and_a_stop_on_another_day) {
  const command_record future_stop{"", "stop", "default", at(3600)};
  EXPECT_EQ(pause_left(future_stop, at(0)), seconds(10));
  EXPECT_EQ(clock_text(at(3600), at(0)), "23:00:00");
  EXPECT_EQ(clock_text(at(7200), at(0)), "2026-12-07 00:00:00");
}

// A clock that each wait moves on by what was asked, but never by more than
// 1000 s: a wait cut short is no deadline.
boot_time fake_now{};
int fake_wait(boot_time until, const std::vector<int>&) {
  fake_now = std::min(until, fake_now + seconds(1000));
  return 0;
}

TEST(watch, ends_at_its_deadline_however_often_a_wait_ends_early) {
  int looks = 0;
  int signal = 0;
  const auto answer =
      watch(fake_now + seconds(1100), std::chrono::milliseconds(0), {}, signal,
            [&looks](bool last) { return ++looks, last ? std::optional(looks) : std::nullopt; },
            {[] { return fake_now; }, &fake_wait});
  EXPECT_EQ(answer, 3);
  EXPECT_EQ(fake_now.time_since_epoch(), seconds(1100));
}

}  // namespace
