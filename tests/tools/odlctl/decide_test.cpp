// odlctl's decisions on devices described by hand: what a command concludes
// from what it reads.
#include "tools/odlctl/decide.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/fakes/fakes.h"

namespace {

// 2026-12-06 22:00:00 UTC and `second` seconds.
wall_time at(int second) { return wall_time(std::chrono::seconds(1796594400 + second)); }

// The names of the captures of that minute, in local time, up to their seconds.
const std::string stamp = capture_name_at(at(0)).substr(0, 25);
const std::string dir = "/r/data/vendor/sensors/" + stamp;

// A device seen at 22:01:40: captures named by the second of their stamp,
// capture tools by pid, option and the second of their capture (-1: the
// sensors directory itself).
struct device {
  snapshot s;
  explicit device(const char* config = "present") {
    s.root = "/r";
    s.sensors = "/r/data/vendor/sensors";
    s.now = at(100);
    s.config = config;
  }
  device& capture(int second, int newest_second = 30) {
    const std::string seconds = (second < 10 ? "0" : "") + std::to_string(second);
    ::capture c{stamp + seconds, dir + seconds, file_id{1, ino_t(second)}, tree{}};
    c.contents->newest = at(newest_second);
    s.captures.insert(s.captures.begin(), c);  // newest first: build them oldest first
    return *this;
  }
  device& tool(pid_t pid, const std::string& option, int second) {
    const std::string output = second < 0
                                   ? "/data/vendor/sensors"
                                   : "/data/vendor/sensors/" + stamp + std::to_string(second);
    s.tools.push_back({pid, option, output, file_id{1, ino_t(second < 0 ? 1 : second)}});
    return *this;
  }
  device& command(const std::string& first, bool packets, int second) {
    s.command = {"", first, packets ? "enable_HLOS_packets" : "default", at(second)};
    return *this;
  }
  // A process whose command line cannot be read: it may be any capture's tool.
  device& unreadable() {
    s.unreadable.push_back(99);
    return *this;
  }
};

struct decision_case {
  const char* name;
  std::function<verdict()> decide;
  bool done;
  int status;
  std::string out;
  std::string err;
};

class decisions : public testing::TestWithParam<decision_case> {};

TEST_P(decisions, say_what_the_device_shows) {
  const verdict v = GetParam().decide();
  EXPECT_EQ(v.done, GetParam().done);
  EXPECT_EQ(v.status, GetParam().status);
  EXPECT_EQ(v.out, GetParam().out);
  EXPECT_EQ(v.err, GetParam().err);
}

const device running_10 = device().capture(10).tool(7, "-p 16", 10);
const own_capture own_10{stamp + "10", false, at(10)};

// `text` with <c> for the capture directories' path up to their seconds.
std::string on_device(std::string text) {
  for (size_t at = text.find("<c>"); at != std::string::npos; at = text.find("<c>", at)) {
    text.replace(at, 3, dir);
  }
  return text;
}

const device grows_unseen = device().capture(10, 99).command("star", true, 10).unreadable();
const device no_config("missing");
const device carried_out = device().capture(20).command("star", false, 19);
const device not_carried_out = device().capture(20).command("star", false, 21);
const device packets_after_stop =
    device().capture(10).tool(7, "-p 17", 10).command("stop", false, 50);
const device stubborn = device(running_10).command("stop", false, 50);
const device holds = device().tool(7, "-p 17", 10).command("stop", true, 50);
const device with_boot_tool = device(running_10).tool(6, "-g 16384", -1);
const device ignored_start = device(running_10).command("star", true, 40);
const device other_stop = device(running_10).command("stop", true, 40);

INSTANTIATE_TEST_SUITE_P(
    table, decisions,
    testing::Values(
        decision_case{"start_refused_while_a_capture_grows_unseen",
                      [] { return decide_start(grows_unseen.s); }, true, 1, "",
                      on_device("the last command was start --packets already and <c>10 grows "
                                "(its capture tool cannot be read): the daemon does nothing on a "
                                "repeated command")},
        decision_case{"start_refused_without_configuration",
                      [] { return decide_start(no_config.s); }, true, 1, "",
                      "no capture configuration /r/data/vendor/sensors/Diag.cfg: the daemon "
                      "starts no capture without it"},
        decision_case{"start_after_a_start_carried_out",
                      [] { return start_seen(carried_out.s, carried_out.s, true); }, true, 1, "",
                      on_device("no new capture directory appeared: the daemon carried out the "
                                "start of <c>20 and starts nothing before a stop, though its "
                                "capture tool no longer runs: odlctl stop, then odlctl start")},
        decision_case{"start_after_a_start_not_carried_out",
                      [] { return start_seen(not_carried_out.s, not_carried_out.s, true); }, true,
                      1, "", "no new capture directory appeared"},
        decision_case{"stop_after_a_stop_of_the_other_variant",
                      [] { return decide_stop(packets_after_stop.s, true); }, true, 1, "",
                      on_device("the last command was stop, after which the daemon ignores every "
                                "stop, whatever its variant: pid 7 (-p 17 into <c>10) runs on; "
                                "odlctl start --packets then odlctl stop --packets end it")},
        decision_case{"stop_after_a_stop_whose_kill_did_not_end_the_tool",
                      [] { return decide_stop(stubborn.s, false); }, true, 1, "",
                      on_device("the last command was stop already, but pid 7 (-p 16 into <c>10) "
                                "did not end on its kill: the daemon does nothing on a repeated "
                                "stop")},
        decision_case{"stop_after_a_stop_that_holds", [] { return decide_stop(holds.s, false); },
                      true, 0, "stopped: no capture tool of the default variant runs\n",
                      "the last command was stop --packets already: nothing written"},
        decision_case{"stop_not_seen_while_a_tool_of_its_variant_runs",
                      [] { return stop_seen(with_boot_tool.s, false, true, true); }, true, 1, "",
                      on_device("stop written, but capture tools of the default variant still "
                                "run: pid 7 (-p 16 into <c>10), pid 6 (-g 16384 into "
                                "/r/data/vendor/sensors)")},
        decision_case{"timed_stop_written_after_an_ignored_start",
                      [] { return decide_timed_stop(ignored_start.s, own_10); }, false, 0, "", ""},
        decision_case{"timed_stop_not_written_after_a_stop_of_the_other_variant",
                      [] { return decide_timed_stop(other_stop.s, own_10); }, true, 1, "",
                      on_device("another controller wrote stop --packets meanwhile and <c>10 still "
                                "runs: the daemon ignores every stop after a stop, nothing "
                                "written; odlctl start then odlctl stop end it")}),
    by_name);

TEST(plan_prune, keeps_the_newest_and_what_runs_or_grows_and_removes_the_rest) {
  const device d =
      device().capture(5).capture(10).tool(7, "-p 16", 10).capture(20, 99).capture(30).capture(40);
  std::vector<std::string> steps;
  for (const prune_step& step : plan_prune(d.s, 1)) {
    steps.push_back(step.target->name.substr(25) + " " + step.kept_because);
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"30 ", "20 growing: newest write 1 s ago",
                                             "10 running (pid 7 -p 16, default)", "05 "}));
}

}  // namespace
