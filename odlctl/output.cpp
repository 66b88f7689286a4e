#include "odlctl/output.h"

#include <android-base/stringprintf.h>
#include <android-base/strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "interfaces/odl_protocol.h"

using android::base::Join;
using android::base::StringPrintf;

namespace {

// What each finding says, in the order of the enum. A first line ending in a
// line feed goes to standard output (the effect was seen: exit status 0), the
// rest to standard error (without such a line, exit status 1; go says nothing). $D is the
// capture it is about, $R its state, $P its variant, $M a timed capture's own
// directory, $T the capture tools named, $V the variant asked for and $E what
// ends its tools, $L the last command, $B what could not be seen, $G the
// captures that grow, $S the sensors directory.
const char* const texts[] = {
    "",
    "no capture configuration $S/Diag.cfg: the daemon starts no capture without it",
    "the last command was $L already and $D is $R: the daemon does nothing on a repeated command",
    "started: $D (variant $P)\n",
    "started: $D (variant unknown: its capture tool cannot be seen, it grows)\n",
    "$D appeared, but no capture tool runs for it: it did not start, or ended at once",
    "$D appeared, but whether a capture tool runs for it is unknown: $B",
    "no new capture directory appeared: the daemon carried out the start of $D and starts nothing "
    "before a stop, though its capture tool no longer runs: odlctl stop, then odlctl start",
    "no new capture directory appeared",
    "stopped: no capture tool of the $V variant runs\nthe last command was $L already: nothing "
    "written",
    "the last command was $L already, but $T did not end on its kill: the daemon does nothing on a "
    "repeated stop",
    "the last command was $L, after which the daemon ignores every stop, whatever its variant: $T "
    "runs on; $E",
    "the last command was $L already, and $B: whether capture tools of the $V variant run is "
    "unknown",
    "stopped: no capture tool of the $V variant runs\n",
    "stop written, but $B: whether the capture tools ended is unknown$G",
    "stop written, but capture tools of the $V variant still run: $T",
    "another controller stopped $M meanwhile: nothing written",
    "another controller started $D meanwhile: $M is not this capture's to stop, nothing written",
    "another controller wrote $L meanwhile and $M still runs: the daemon ignores every stop after "
    "a "
    "stop, nothing written; $E",
    "another controller wrote $L meanwhile, and whether $M still runs is unknown ($B): nothing "
    "written",
};
static_assert(std::size(texts) == static_cast<size_t>(finding::other_stop_unknown) + 1);

std::string variant_name(bool packets) { return packets ? "--packets" : "default"; }

std::string what_ends(bool packets) {
  const char* variant = packets ? " --packets" : "";
  return StringPrintf("odlctl start%s then odlctl stop%s end it", variant, variant);
}

// "start --packets", "stop".
std::string command_name(const command_record& c) {
  const std::string word = c.first == odl::start_word ? "start" : c.first;
  return word + (c.second == odl::packets_option ? " --packets" : "");
}

// "pid 12 (-p 16 into DIR), pid 13 (-g 16384 into DIR)".
std::string tools_text(const snapshot& s, const std::vector<capture_tool>& tools) {
  std::vector<std::string> each;
  each.reserve(tools.size());
  for (const capture_tool& t : tools) {
    each.push_back(StringPrintf("pid %d (%s into %s%s)", t.pid, t.option.c_str(), s.root.c_str(),
                                t.output.c_str()));
  }
  return Join(each, ", ");
}

// "--packets", "default" or "unknown", as the capture's tools tell.
std::string variant_text(const capture& c) {
  for (const capture_tool& tool : c.tools) {
    if (tool.variant == tool_variant::default_variant) return variant_name(false);
    if (tool.variant == tool_variant::packets_variant) return variant_name(true);
  }
  return "unknown";
}

std::string blind_text(const blind_spots& b) {
  std::vector<std::string> parts;
  if (b.no_sensors) parts.emplace_back("the sensors directory cannot be read");
  if (b.hidden) parts.emplace_back("/proc hides other users' processes");
  if (!b.unreadable.empty()) {
    parts.push_back(
        StringPrintf("%zu processes cannot be read (another user's)", b.unreadable.size()));
  }
  for (const pid_t pid : b.unresolved) {
    parts.push_back(StringPrintf("the directory of capture tool pid %d is gone or moved", pid));
  }
  return Join(parts, ", ");
}

std::string age_text(wall_time then, wall_time now) {
  const long long ago = std::chrono::duration_cast<std::chrono::seconds>(now - then).count();
  return ago >= 0 ? StringPrintf("%lld s ago", ago) : StringPrintf("%lld s in the future", -ago);
}

std::string state_text(const snapshot& s, const capture& c) {
  std::string tools;
  for (const capture_tool& tool : c.tools) {
    tools += StringPrintf("pid %d %s, ", tool.pid, tool.option.c_str());
  }
  if (c.state == run_state::running) return "running (" + tools + variant_text(c) + ")";
  if (c.state == run_state::finished) return "finished";
  return (c.grows ? "growing, unknown: " : "unknown: ") + blind_text(s.blind);
}

std::string guard_text(const snapshot& s, const capture& c) {
  std::string text;
  for (const guard_record& g : s.guards) {
    const long long in =
        std::chrono::duration_cast<std::chrono::seconds>(g.stop_at - s.now).count();
    if (g.capture == c.name && g.runs) {
      text += StringPrintf("  guard pid %d stops it at %s (%s)", g.pid,
                           clock_text(g.stop_at, s.now).c_str(),
                           in >= 0 ? StringPrintf("in %lld s", in).c_str() : "due");
    }
  }
  return text;
}

}  // namespace

verdict say(const snapshot& s, const answer& a, const std::string& own) {
  std::string growing;
  for (const capture& c : s.captures) {
    growing += c.grows ? ", and " + c.path + " grows" : "";
  }
  const capture none;
  const capture& subject = a.subject != nullptr ? *a.subject : none;
  const std::map<char, std::string> values = {{'D', subject.path},
                                              {'R', state_text(s, subject)},
                                              {'P', variant_text(subject)},
                                              {'M', s.sensors + "/" + own},
                                              {'T', tools_text(s, a.tools)},
                                              {'V', variant_name(a.packets)},
                                              {'E', what_ends(a.packets)},
                                              {'L', command_name(s.command)},
                                              {'B', blind_text(s.blind)},
                                              {'G', growing},
                                              {'S', s.sensors}};
  const std::string_view text = texts[static_cast<size_t>(a.what)];
  std::string filled;
  for (size_t i = 0; i < text.size(); ++i) {
    filled += text[i] == '$' ? values.at(text[++i]) : std::string(1, text[i]);
  }
  for (const capture_tool& tool :
       a.what == finding::stopped ? a.tools : std::vector<capture_tool>{}) {
    if (tool.variant != tool_variant::neither) {
      filled += "warning: " + tools_text(s, {tool}) + " of the " + variant_name(!a.packets) +
                " variant runs on: " + what_ends(!a.packets) + "\n";
    }
  }
  const size_t seen = filled.find('\n');
  const size_t out = seen == std::string::npos ? 0 : seen + 1;
  return {out == 0 && !filled.empty() ? 1 : 0, filled.substr(0, out), filled.substr(out)};
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

verdict status_report(const snapshot& s) {
  if (s.captures.empty() && !s.sensors_error.empty()) return {1, "", s.sensors_error};
  const std::string config = s.config_error == 0 ? "present"
                             : s.config_error == ENOENT
                                 ? "missing"
                                 : "cannot be told: " + std::string(std::strerror(s.config_error));
  std::string out =
      StringPrintf("capture configuration %s/Diag.cfg: %s\nflush pipe %s/sns_diag_flush: %s\n",
                   s.sensors.c_str(), config.c_str(), s.sensors.c_str(),
                   pipe_text(s.pipe, s.pipe_error).c_str());
  if (s.command.first == odl::start_word || s.command.first == odl::stop_word) {
    out += "last command: " + command_name(s.command) + ", written " +
           age_text(s.command.written, s.now) + "\n";
  }
  if (s.space) {
    out += StringPrintf("free space: %llu of %llu bytes\n", s.space->first, s.space->second);
  }
  if (s.blind.any()) {
    out +=
        "unseen: " + blind_text(s.blind) + ": a capture without a capture tool seen is unknown\n";
  }
  std::vector<std::string> problems = {s.command.error, s.sensors_error};
  unsigned long long bytes = 0;
  size_t files = 0;
  std::string lines;
  for (const capture& c : s.captures) {
    lines += "  " + c.path + "  " + state_text(s, c);
    if (c.mount_point || !c.error.empty()) {
      lines += c.mount_point ? "  a mount point: another file system, not counted"
                             : "  cannot read " + c.error;
      problems.push_back(c.mount_point ? "" : "cannot read " + c.error);
    } else {
      bytes += c.bytes;
      files += c.files;
      lines += StringPrintf("  %llu bytes  %zu files  newest write %s", c.bytes, c.files,
                            age_text(c.newest, s.now).c_str());
    }
    lines += guard_text(s, c) + "\n";
    for (const std::string& mount : c.mounts) {
      lines += "    " + mount + ": another file system, not counted\n";
    }
  }
  out += StringPrintf("capture directories, newest first: %zu (%llu bytes, %zu files)\n",
                      s.captures.size(), bytes, files) +
         lines;
  for (const capture_tool& tool : s.tools) {
    const auto writes_into = [&tool](const capture& c) { return tool.writes_into == c.id; };
    if (std::none_of(s.captures.begin(), s.captures.end(), writes_into)) {
      out += "other capture tool: " + tools_text(s, {tool}) + "\n";
    }
  }
  problems.erase(std::remove(problems.begin(), problems.end(), ""), problems.end());
  return {problems.empty() ? 0 : 1, out, Join(problems, "\n")};
}

std::string kept_text(const snapshot& s, const capture& c, keep_reason why) {
  if (why == keep_reason::grows) return "growing: newest write " + age_text(c.newest, s.now);
  if (why == keep_reason::mount_point) return "a mount point: another file system, left";
  if (why == keep_reason::unreadable) return "cannot read " + c.error;
  return state_text(s, c);
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

int print(const verdict& v) {
  static_cast<void>(std::fputs(v.out.c_str(), stdout));
  for (const std::string& line : android::base::Split(v.err, "\n")) {
    if (!line.empty()) static_cast<void>(std::fprintf(stderr, "odlctl: %s\n", line.c_str()));
  }
  return v.status;
}

int fail(const std::string& reason) { return print({1, "", reason}); }
