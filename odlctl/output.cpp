#include "odlctl/output.h"

#include <android-base/file.h>
#include <android-base/stringprintf.h>
#include <android-base/strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

using android::base::Join;
using android::base::StringPrintf;

namespace {

int report_fd = -1;

std::string variant_name(bool packets) { return packets ? "--packets" : "default"; }

std::string what_ends(bool packets) {
  const std::string variant = packets ? " --packets" : "";
  return "odlctl start" + variant + " then odlctl stop" + variant + " end it";
}

// "--packets", "default" or "unknown", as the capture's tools tell.
std::string variant_text(const capture& c) {
  for (const capture_tool& tool : c.tools) {
    if (tool.variant == tool_variant::default_variant) return variant_name(false);
    if (tool.variant == tool_variant::packets_variant) return variant_name(true);
  }
  return "unknown";
}

// The effect was seen: the text goes to standard output, the status is 0.
verdict seen(const std::string& text, const std::string& also = "") {
  return {0, text + "\n", also};
}
verdict not_seen(const std::string& text) { return {1, "", text}; }

// Each of `text`'s lines, as a report line of `kind` or on `to`, led by `lead`.
void put(const std::string& text, const char* kind, FILE* to, const char* lead) {
  for (const std::string& line : android::base::Split(text, "\n")) {
    if (!line.empty() && report_fd >= 0) report(kind + line);
    if (!line.empty() && report_fd < 0) {
      static_cast<void>(std::fprintf(to, "%s%s\n", lead, line.c_str()));
    }
  }
}

}  // namespace

std::string command_name(const odl::command& c) {
  return std::string(c.what == odl::action::start ? "start" : "stop") +
         (c.packets ? " --packets" : "");
}

std::string tools_text(const look& s, const std::vector<capture_tool>& tools) {
  std::vector<std::string> each;
  for (const capture_tool& t : tools) {
    const std::string option = t.option.empty() ? "no option it tells" : t.option;
    const std::string into = t.output.empty() ? "" : " into " + s.root + t.output;
    each.push_back(StringPrintf("pid %d (%s%s)", t.pid, option.c_str(), into.c_str()));
  }
  return Join(each, ", ");
}

std::string blind_text(const blind_spots& b) {
  std::vector<std::string> parts;
  if (b.no_sensors) parts.emplace_back("the sensors directory cannot be read");
  if (b.hidden) parts.emplace_back("/proc hides other users' processes");
  if (b.no_daemon) {
    parts.emplace_back("no process seen serves the flush pipe (another pid namespace?)");
  }
  std::vector<std::string> whose;
  for (size_t i = 0; i < std::min<size_t>(b.unreadable.size(), 5); ++i) {
    whose.push_back(StringPrintf("%d (uid %u)", b.unreadable[i].first, b.unreadable[i].second));
  }
  if (b.unreadable.size() > 5) whose.push_back(StringPrintf("%zu more", b.unreadable.size() - 5));
  if (!whose.empty()) {
    parts.push_back(
        StringPrintf("pid %s cannot be read by uid %u: root, or their own user, may read them",
                     Join(whose, ", ").c_str(), geteuid()));
  }
  for (const pid_t pid : b.unresolved) {
    parts.push_back(
        StringPrintf("where capture tool pid %d writes cannot be told (its directory is "
                     "gone, moved, or not on its command line)",
                     pid));
  }
  return Join(parts, ", ");
}

std::string age_text(wall_time then, wall_time now) {
  const long long ago = std::chrono::duration_cast<std::chrono::seconds>(now - then).count();
  return ago >= 0 ? StringPrintf("%lld s ago", ago) : StringPrintf("%lld s in the future", -ago);
}

std::string state_text(const look& s, const capture& c) {
  std::string tools;
  for (const capture_tool& tool : c.tools) {
    tools += StringPrintf("pid %d %s, ", tool.pid, tool.option.empty() ? "?" : tool.option.c_str());
  }
  if (c.state == run_state::running) return "running (" + tools + variant_text(c) + ")";
  if (c.state == run_state::finished) return "finished";
  return (c.grows ? "growing, unknown: " : "unknown: ") + blind_text(s.processes.blind);
}

verdict say(const look& s, const answer& a, const std::string& own) {
  const capture none;
  const std::string& dir = (a.subject != nullptr ? *a.subject : none).path;
  const std::string last = command_name(s.command.command);
  const std::string variant = variant_name(a.packets);
  const std::string tools = tools_text(s, a.tools);
  const std::string blind = blind_text(s.processes.blind);
  const std::string daemon = a.no_daemon
                                 ? "; nothing serves the flush pipe " + s.root +
                                       odl::flush_pipe_path + ": the daemon does not seem to run"
                                 : "";
  const std::string none_runs = "stopped: no capture tool of the " + variant + " variant runs";
  switch (a.what) {
    case finding::go:
      return {};
    case finding::no_config:
      return not_seen("no capture configuration " + s.root + odl::diag_cfg_path +
                      ": the daemon starts no capture without it");
    case finding::repeated_start:
      return not_seen("the last command was " + last + " already and " + dir + " is " +
                      state_text(s, *a.subject) +
                      ": the daemon does nothing on a repeated command");
    case finding::started:
      return seen("started: " + dir + " (variant " + variant_text(*a.subject) + ")");
    case finding::started_growing:
      return seen("started: " + dir +
                  " (variant unknown: its capture tool cannot be seen, it grows)");
    case finding::appeared_without_tool:
      return not_seen(dir +
                      " appeared, but no capture tool runs for it: it did not start, or ended "
                      "at once");
    case finding::appeared_unknown:
      return not_seen(dir +
                      " appeared, but whether a capture tool runs for it is unknown: " + blind);
    case finding::start_ignored:
      return not_seen("no new capture directory appeared: the daemon carried out the start of " +
                      dir +
                      " and starts nothing before a stop, though its capture tool no longer "
                      "runs: odlctl stop, then odlctl start");
    case finding::no_new_directory:
      return not_seen("no new capture directory appeared" + daemon);
    case finding::stopped_already:
      return seen(none_runs, "the last command was " + last + " already: nothing written");
    case finding::not_ended_on_kill:
      return not_seen("the last command was " + last + " already, but " + tools +
                      " did not end on its kill: the daemon does nothing on a repeated stop");
    case finding::ignored_after_other_stop:
      return not_seen("the last command was " + last +
                      ", after which the daemon ignores every stop, whatever its variant: " +
                      tools + " runs on; " + what_ends(a.packets));
    case finding::unknown_after_stop:
      return not_seen("the last command was " + last + " already, and " + blind +
                      ": whether capture tools of the " + variant + " variant run is unknown");
    case finding::stopped:
      break;
    case finding::stop_unknown: {
      std::string growing;
      for (const capture& c : s.captures) growing += c.grows ? ", and " + c.path + " grows" : "";
      return not_seen("stop written, but " + blind +
                      ": whether the capture tools ended is unknown" + growing);
    }
    case finding::still_running:
      return not_seen("stop written, but capture tools of the " + variant +
                      " variant still run: " + tools + daemon);
    case finding::other_start:
    case finding::other_stop:
      return not_seen("another controller wrote " + last + " after the start of " + s.sensors +
                      "/" + own + ": " +
                      (a.what == finding::other_start ? "its capture is not this guard's to stop"
                                                      : "the stop is its own") +
                      ", nothing written");
  }
  std::string warnings;
  for (const capture_tool& tool : a.tools) {
    if (tool.variant != tool_variant::unknown) {
      warnings += "warning: " + tools_text(s, {tool}) + " of the " + variant_name(!a.packets) +
                  " variant runs on: " + what_ends(!a.packets) + "\n";
    }
  }
  return seen(none_runs, warnings);
}

std::string pipe_text(pipe_state state, int error) {
  switch (state) {
    case pipe_state::served:
      return "served";
    case pipe_state::missing:
      return "missing";
    case pipe_state::link:
      return "a symbolic link, not followed";
    case pipe_state::not_fifo:
      return "not a FIFO";
    case pipe_state::not_served:
      return "not served (nothing reads it)";
    case pipe_state::not_permitted:
      return "not permitted (this user may not write into it)";
    case pipe_state::failed:
      break;
  }
  return std::string("cannot be reached: ") + std::strerror(error);
}

std::string clock_text(wall_time when, wall_time now) {
  const std::time_t then = std::chrono::system_clock::to_time_t(when);
  const std::time_t today = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  std::tm local_now{};
  localtime_r(&then, &local);
  localtime_r(&today, &local_now);
  const bool same_day = local.tm_year == local_now.tm_year && local.tm_yday == local_now.tm_yday;
  char text[32] = "";
  static_cast<void>(
      std::strftime(text, sizeof text, same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local));
  return text;
}

void report_into(int fd) { report_fd = fd; }

void report(const std::string& line) {
  if (report_fd >= 0) static_cast<void>(android::base::WriteStringToFd(line + "\n", report_fd));
}

int print(const verdict& v) {
  put(v.out, "o ", stdout, "");
  put(v.err, "e ", stderr, "odlctl: ");
  return v.status;
}

int fail(const std::string& reason) { return print({1, "", reason}); }
