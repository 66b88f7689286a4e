#include "tools/odlctl/decide.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "diag/odl_commands.h"
#include "diag/sensors_paths.h"

namespace {

using std::chrono::seconds;

constexpr std::string_view capture_prefix = "odl_sns_";
// The daemon's longest pause (after a stop): a command written during one is
// read when it ends.
constexpr seconds longest_pause{5};
// A capture grows while something in it was written this recently.
constexpr seconds growth_window{2};

int field(std::string_view stamp, size_t at, size_t width) {
  int value = 0;
  for (const char c : stamp.substr(at, width)) {
    value = value * 10 + (c - '0');
  }
  return value;
}

bool is_real_time(std::string_view stamp) {
  constexpr std::string_view shape = "dddd_dd_dd_dd_dd_dd";
  const auto fits = [](char want, char c) {
    return want == '_' ? c == '_' : std::isdigit(static_cast<unsigned char>(c)) != 0;
  };
  if (!std::equal(shape.begin(), shape.end(), stamp.begin(), stamp.end(), fits)) {
    return false;
  }
  const int year = field(stamp, 0, 4);
  const int month = field(stamp, 5, 2);
  const int day = field(stamp, 8, 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] &&
         field(stamp, 11, 2) < 24 && field(stamp, 14, 2) < 60 && field(stamp, 17, 2) < 60;
}

std::tm local_time(wall_time when) {
  const std::time_t since_epoch = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&since_epoch, &local);
  return local;
}

// The packet variant of a tool: true for -p 5 and -p 17, false for -p 4 and
// -p 16; none for -g 16384, which both variants' stops end, or any other.
std::optional<bool> variant_of(const capture_tool& tool) {
  if (tool.option == "-p 5" || tool.option == "-p 17") {
    return true;
  }
  if (tool.option == "-p 4" || tool.option == "-p 16") {
    return false;
  }
  return std::nullopt;
}

// "--packets" or "default".
std::string variant_name(bool packets) { return packets ? "--packets" : "default"; }

// "pid 12 (-p 16 into DIR)".
std::string describe(const snapshot& s, const capture_tool& tool) {
  return "pid " + std::to_string(tool.pid) + " (" + tool.option + " into " + s.root + tool.output +
         ")";
}

// The tools that run for the capture directory `c`.
std::vector<capture_tool> tools_for(const snapshot& s, const capture& c) {
  std::vector<capture_tool> found;
  for (const capture_tool& tool : s.tools) {
    if (tool.output_id == c.id) {
      found.push_back(tool);
    }
  }
  return found;
}

enum class run_state {
  running,       // a capture tool runs for it
  finished,      // none does, and none that cannot be read may
  growing,       // no tool seen, one that cannot be read may run, and it grows
  quiet_unread,  // no tool seen, one that cannot be read may run: unknown
};

std::string stop_command(bool packets) { return packets ? "stop --packets" : "stop"; }

std::string command_name(const command_record& c) {
  const std::string variant = c.second == packets_option ? " --packets" : "";
  return (c.first == "star" ? "start" : c.first) + variant;
}

// "odlctl start --packets then odlctl stop --packets end it".
std::string what_ends(bool packets) {
  const std::string variant = packets ? " --packets" : "";
  return "odlctl start" + variant + " then odlctl stop" + variant + " end it";
}

std::string listed(const snapshot& s, const std::vector<capture_tool>& tools) {
  std::string text;
  for (const capture_tool& tool : tools) {
    text += (text.empty() ? "" : ", ") + describe(s, tool);
  }
  return text;
}

std::vector<capture_tool> ended_by(const snapshot& s, bool packets, bool wanted) {
  std::vector<capture_tool> found;
  for (const capture_tool& tool : s.tools) {
    if (tool.readable && ended_by_stop(tool, packets) == wanted) {
      found.push_back(tool);
    }
  }
  return found;
}

std::string age(wall_time then, wall_time now) {
  const auto difference = std::chrono::duration_cast<seconds>(now - then).count();
  return difference >= 0 ? std::to_string(difference) + " s ago"
                         : std::to_string(-difference) + " s in the future";
}

std::string unreadable_text(const snapshot& s) {
  return std::to_string(unreadable_count(s)) + " processes cannot be read (another user's)";
}

// Whether a capture tool that cannot be read may be this device's: by its
// command line, it writes into the sensors directory or one of its captures.
bool plausibly_ours(const snapshot& s, const capture_tool& tool) {
  const std::string sensors = sensors_directory;
  return !tool.readable &&
         (tool.output == sensors ||
          std::any_of(s.captures.begin(), s.captures.end(),
                      [&](const capture& c) { return tool.output == sensors + "/" + c.name; }));
}

// Whether a process that cannot be read may be a capture tool of `c`: one
// whose command line names it, or one whose command line is unknown.
bool may_run_unseen(const snapshot& s, const capture& c) {
  const std::string device_path = std::string(sensors_directory) + "/" + c.name;
  return !s.unreadable.empty() ||
         std::any_of(s.tools.begin(), s.tools.end(), [&device_path](const capture_tool& tool) {
           return !tool.readable && tool.output == device_path;
         });
}

// Whether a process that cannot be read may be a capture tool of that variant
// on this device.
bool variant_unseen(const snapshot& s, bool packets) {
  return !s.unreadable.empty() ||
         std::any_of(s.tools.begin(), s.tools.end(), [&s, packets](const capture_tool& tool) {
           return plausibly_ours(s, tool) && ended_by_stop(tool, packets);
         });
}

verdict finish(int status, std::string out, std::string err = "") {
  return {true, status, std::move(out), std::move(err), ""};
}

verdict refused(std::string err) { return finish(1, "", std::move(err)); }

const capture* find(const snapshot& s, const std::string& name) {
  for (const capture& c : s.captures) {
    if (c.name == name) {
      return &c;
    }
  }
  return nullptr;
}

bool grows(const snapshot& s, const capture& c) {
  return c.contents && s.now - c.contents->newest < growth_window;
}

run_state state_of(const snapshot& s, const capture& c) {
  if (!tools_for(s, c).empty()) {
    return run_state::running;
  }
  if (!may_run_unseen(s, c)) {
    return run_state::finished;
  }
  return grows(s, c) ? run_state::growing : run_state::quiet_unread;
}

bool alive(run_state state) { return state == run_state::running || state == run_state::growing; }

// "pid 11 -g 16384, pid 12 -p 17, --packets": the tools of a running capture.
std::string tools_text(const snapshot& s, const capture& c) {
  std::string text;
  std::optional<bool> packets;
  for (const capture_tool& tool : tools_for(s, c)) {
    text += "pid " + std::to_string(tool.pid) + " " + tool.option + ", ";
    packets = packets ? packets : variant_of(tool);
  }
  return text + (packets ? variant_name(*packets) : "variant unknown");
}

std::string state_text(const snapshot& s, const capture& c) {
  switch (state_of(s, c)) {
    case run_state::running:
      return "running (" + tools_text(s, c) + ")";
    case run_state::finished:
      return "finished";
    case run_state::growing:
      return "growing (whether a capture tool runs for it cannot be read)";
    case run_state::quiet_unread:
      break;
  }
  return "not growing (whether a capture tool runs for it cannot be read)";
}

std::string guard_text(const snapshot& s, const capture& c) {
  std::string text;
  for (const guard& g : s.guards) {
    if (g.capture == c.name) {
      const auto left = std::chrono::duration_cast<seconds>(g.stop_at - s.now).count();
      text += "  guard pid " + std::to_string(g.pid) + " stops it at " + local_clock(g.stop_at) +
              " (in " + std::to_string(std::max<long long>(left, 0)) + " s)";
    }
  }
  return text;
}

}  // namespace

size_t unreadable_count(const snapshot& s) {
  const auto hidden = std::count_if(s.tools.begin(), s.tools.end(), [&s](const capture_tool& tool) {
    return plausibly_ours(s, tool);
  });
  return s.unreadable.size() + static_cast<size_t>(hidden);
}

bool is_capture_name(std::string_view name) {
  if (name.substr(0, capture_prefix.size()) != capture_prefix) {
    return false;
  }
  const std::string_view stamp = name.substr(capture_prefix.size());
  return stamp == "date_time" || is_real_time(stamp);
}

std::string capture_name_at(wall_time when) {
  const std::tm local = local_time(when);
  char stamp[32] = "";
  std::strftime(stamp, sizeof stamp, "%Y_%m_%d_%H_%M_%S", &local);
  return std::string(capture_prefix) + stamp;
}

std::string local_clock(wall_time when) {
  const std::tm local = local_time(when);
  char text[16] = "";
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

bool ended_by_stop(const capture_tool& tool, bool packets) {
  return tool.option == "-g 16384" || variant_of(tool) == packets;
}

std::chrono::nanoseconds pause_left(const command_record& last, wall_time now) {
  const seconds own = last.first == "star"   ? seconds(3)
                      : last.first == "stop" ? seconds(5)
                                             : seconds(0);
  return std::max(std::chrono::nanoseconds(0), last.written + longest_pause + own - now);
}

verdict decide_start(const snapshot& s) {
  const std::string config = s.sensors + "/Diag.cfg";
  if (s.config == "missing") {
    return refused("no capture configuration " + config +
                   ": the daemon starts no capture without it");
  }
  verdict go;
  if (s.config != "present") {
    go.err = "warning: capture configuration " + config + ": " + s.config;
  }
  if (s.command.first != "star") {
    return go;
  }
  for (const capture& c : s.captures) {
    const run_state state = state_of(s, c);
    if (!alive(state)) {
      continue;
    }
    const std::string how = state == run_state::running
                                ? " runs (" + tools_text(s, c) + ")"
                                : " grows (its capture tool cannot be read)";
    return refused("the last command was " + command_name(s.command) + " already and " + c.path +
                   how + ": the daemon does nothing on a repeated command");
  }
  return go;
}

verdict start_seen(const snapshot& before, const snapshot& now, bool last_look) {
  std::vector<const capture*> fresh;
  for (const capture& c : now.captures) {
    if (find(before, c.name) == nullptr) {
      fresh.push_back(&c);
    }
  }
  for (const capture* c : fresh) {
    for (const capture_tool& tool : tools_for(now, *c)) {
      if (const std::optional<bool> packets = variant_of(tool)) {
        verdict seen =
            finish(0, "started: " + c->path + " (variant " + variant_name(*packets) + ")\n");
        seen.capture = c->name;
        return seen;
      }
    }
    if (state_of(now, *c) == run_state::growing) {
      verdict seen =
          finish(0, "started: " + c->path +
                        " (variant unknown: its capture tool cannot be read, it grows)\n");
      seen.capture = c->name;
      return seen;
    }
  }
  if (!last_look) {
    return {};
  }
  if (!now.sensors_error.empty()) {
    return refused("start written, but " + now.sensors_error + ": its effect cannot be seen");
  }
  if (!fresh.empty()) {
    const std::string why = may_run_unseen(now, *fresh.front())
                                ? unreadable_text(now) + ", and it does not grow"
                                : "no capture tool runs for it: it did not start, or ended at once";
    return refused(fresh.front()->path + " appeared, but " + why);
  }
  const std::string since = capture_name_at(before.command.written);
  for (const capture& c : before.captures) {
    if (before.command.first == "star" && c.name >= since && c.name != "odl_sns_date_time") {
      return refused("no new capture directory appeared: the daemon carried out the start of " +
                     c.path + " and starts nothing before a stop, though its capture tool no " +
                     "longer runs: odlctl stop, then odlctl start");
    }
  }
  return refused("no new capture directory appeared");
}

verdict decide_stop(const snapshot& s, bool packets) {
  if (s.command.first != "stop") {
    return {};
  }
  const std::string last = command_name(s.command);
  const std::string variant = variant_name(packets);
  if (variant_unseen(s, packets)) {
    return refused("the last command was " + last + " already, and " + unreadable_text(s) +
                   ": whether capture tools of the " + variant + " variant run is unknown");
  }
  const std::vector<capture_tool> running = ended_by(s, packets, true);
  if (running.empty()) {
    return finish(0, "stopped: no capture tool of the " + variant + " variant runs\n",
                  "the last command was " + last + " already: nothing written");
  }
  if (last == stop_command(packets)) {
    return refused("the last command was " + last + " already, but " + listed(s, running) +
                   " did not end on its kill: the daemon does nothing on a repeated stop");
  }
  return refused("the last command was " + last +
                 ", after which the daemon ignores every stop, whatever its variant: " +
                 listed(s, running) + " runs on; " + what_ends(packets));
}

verdict stop_seen(const snapshot& s, bool packets, bool read, bool last_look) {
  const std::string variant = variant_name(packets);
  if (variant_unseen(s, packets)) {
    if (!last_look) {
      return {};
    }
    std::string growing;
    for (const capture& c : s.captures) {
      growing += state_of(s, c) == run_state::growing ? ", and " + c.path + " grows" : "";
    }
    return refused("stop written, but " + unreadable_text(s) +
                   ": whether the capture tools ended is unknown" + growing);
  }
  const std::vector<capture_tool> running = ended_by(s, packets, true);
  if (running.empty() && (read || last_look)) {
    std::string warnings;
    for (const capture_tool& tool : ended_by(s, packets, false)) {
      warnings += (warnings.empty() ? "" : "\n") +
                  ("warning: " + describe(s, tool) + " of the " + variant_name(!packets) +
                   " variant runs on: " + what_ends(!packets));
    }
    return finish(0, "stopped: no capture tool of the " + variant + " variant runs\n", warnings);
  }
  if (!last_look) {
    return {};
  }
  return refused("stop written, but capture tools of the " + variant +
                 " variant still run: " + listed(s, running));
}

verdict decide_timed_stop(const snapshot& s, const own_capture& own) {
  if (s.command.written == own.written) {
    return {};
  }
  const std::string own_path = s.sensors + "/" + own.name;
  for (const capture& c : s.captures) {
    if (c.name != own.name && alive(state_of(s, c))) {
      return refused("another controller started " + c.path + " meanwhile: " + own_path +
                     " is not this capture's to stop, nothing written");
    }
  }
  const capture* mine = find(s, own.name);
  if (mine == nullptr || !alive(state_of(s, *mine))) {
    return refused("another controller stopped " + own_path + " meanwhile: nothing written");
  }
  if (s.command.first == "stop") {
    return refused("another controller wrote " + command_name(s.command) + " meanwhile and " +
                   own_path + " still runs: the daemon ignores every stop after a stop, nothing " +
                   "written; " + what_ends(own.packets));
  }
  return {};
}

verdict status_report(const snapshot& s) {
  verdict report = finish(0, "");
  const auto problem = [&report](const std::string& text) {
    report.err += (report.err.empty() ? "" : "\n") + text;
    report.status = 1;
  };
  report.out += "capture configuration " + s.sensors + "/Diag.cfg: " + s.config + "\n";
  report.out += "flush pipe " + s.sensors + "/sns_diag_flush: " + s.pipe + "\n";
  if (!s.command.error.empty()) {
    problem(s.command.error);
  } else if (s.command.first == "star" || s.command.first == "stop") {
    report.out += "last command: " + command_name(s.command) + ", written " +
                  age(s.command.written, s.now) + "\n";
  }
  if (s.space_error.empty()) {
    report.out += "free space: " + std::to_string(s.free_bytes) + " of " +
                  std::to_string(s.total_bytes) + " bytes\n";
  } else {
    problem(s.space_error);
  }
  if (unreadable_count(s) != 0) {
    report.out += "processes: " + unreadable_text(s) +
                  ": a capture without a capture tool seen is judged by its growth\n";
  }
  if (!s.sensors_error.empty()) {
    problem(s.sensors_error);
    return report;
  }
  unsigned long long bytes = 0;
  size_t files = 0;
  std::string lines;
  for (const capture& c : s.captures) {
    const tree& t = *c.contents;
    bytes += t.bytes;
    files += t.files;
    if (!t.error.empty()) {
      lines += "  " + c.path + "  cannot read " + t.error + "\n";
      problem("cannot read " + t.error);
      continue;
    }
    lines += "  " + c.path + "  " + state_text(s, c) + "  " + std::to_string(t.bytes) + " bytes  " +
             std::to_string(t.files) + " files  newest write " + age(t.newest, s.now) +
             guard_text(s, c) + "\n";
    for (const std::string& mount : t.mounts) {
      lines += "    " + mount + ": another file system, not counted\n";
    }
  }
  report.out += "capture directories, newest first: " + std::to_string(s.captures.size()) + " (" +
                std::to_string(bytes) + " bytes, " + std::to_string(files) + " files)\n" + lines;
  for (const capture_tool& tool : s.tools) {
    const bool of_a_capture =
        std::any_of(s.captures.begin(), s.captures.end(),
                    [&tool](const capture& c) { return tool.output_id == c.id; });
    if (tool.readable && !of_a_capture) {
      report.out += "other capture tool: " + describe(s, tool) + "\n";
    }
  }
  return report;
}

std::vector<prune_step> plan_prune(const snapshot& s, size_t keep) {
  std::vector<prune_step> steps;
  for (size_t i = keep; i < s.captures.size(); ++i) {
    const capture& c = s.captures[i];
    const run_state state = state_of(s, c);
    std::string reason;
    if (state == run_state::running || state == run_state::growing) {
      reason = state_text(s, c);
    } else if (state == run_state::quiet_unread) {
      reason = "whether a capture tool runs for it cannot be read";
    } else if (grows(s, c)) {
      reason = "growing: newest write " + age(c.contents->newest, s.now);
    }
    steps.push_back({&c, reason});
  }
  return steps;
}
