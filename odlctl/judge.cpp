#include "odlctl/judge.h"

#include <algorithm>

namespace {

using odl::action;

// A capture grows while something in it was written this recently.
constexpr std::chrono::seconds growth_window{2};

answer found(finding what, const capture* subject = nullptr, std::vector<capture_tool> tools = {},
             bool packets = false) {
  return {what, subject, std::move(tools), packets};
}

// The tools that a stop of that variant may end, or (`ended` false) leaves.
std::vector<capture_tool> tools_of(const look& s, bool packets, bool ended = true) {
  std::vector<capture_tool> found;
  const std::vector<capture_tool>& tools = s.processes.tools;
  std::copy_if(tools.begin(), tools.end(), std::back_inserter(found),
               [&](const capture_tool& tool) { return ended_by_stop(tool, packets) == ended; });
  return found;
}

// A decision not to write stands only once settled.
std::optional<answer> unless_unsettled(answer a, bool settled) {
  return a.what == finding::go || settled ? std::optional(std::move(a)) : std::nullopt;
}

}  // namespace

void judge_states(look& s) {
  for (capture& c : s.captures) {
    for (const capture_tool& tool : s.processes.tools) {
      const auto& into = tool.writes_into;
      if (std::find(into.begin(), into.end(), c.id) != into.end()) c.tools.push_back(tool);
    }
    c.state = !c.tools.empty()          ? run_state::running
              : s.processes.blind.any() ? run_state::unknown
                                        : run_state::finished;
    c.grows = c.tree && c.tree->newest <= s.now && s.now - c.tree->newest < growth_window;
  }
}

bool ended_by_stop(const capture_tool& tool, bool packets) {
  const tool_variant own = packets ? tool_variant::packets_variant : tool_variant::default_variant;
  return tool.variant == tool_variant::both || tool.variant == tool_variant::unknown ||
         tool.variant == own;
}

std::chrono::nanoseconds pause_left(const command_record& last, wall_time now) {
  using std::chrono::nanoseconds;
  const action what = last.command.what;
  const nanoseconds own = what == action::start  ? odl::pause_after_start
                          : what == action::stop ? odl::pause_after_stop
                                                 : nanoseconds(0);
  const nanoseconds most = odl::pause_after_stop + own;
  return std::clamp<nanoseconds>(last.written + most - now, nanoseconds(0), most);
}

std::optional<answer> decide_start(const look& s, bool settled) {
  if (s.config_error == ENOENT) return found(finding::no_config);
  for (const capture& c : s.captures) {
    if (s.command.command.what == action::start && c.state != run_state::finished) {
      return unless_unsettled(found(finding::repeated_start, &c), settled);
    }
  }
  return answer{};
}

std::optional<answer> decide_stop(const look& s, bool packets, bool settled) {
  if (s.command.command.what != action::stop) return answer{};
  std::vector<capture_tool> running = tools_of(s, packets);
  const bool same = s.command.command.packets == packets;
  const finding what = s.processes.blind.any() ? finding::unknown_after_stop
                       : running.empty()       ? finding::stopped_already
                       : same                  ? finding::not_ended_on_kill
                                               : finding::ignored_after_other_stop;
  return unless_unsettled(found(what, nullptr, std::move(running), packets), settled);
}

std::optional<answer> start_seen(const look& before, const look& now, bool last) {
  std::vector<const capture*> fresh;
  for (const capture& c : now.captures) {
    const auto same = [&c](const capture& old) { return old.name == c.name; };
    if (std::none_of(before.captures.begin(), before.captures.end(), same)) fresh.push_back(&c);
  }
  for (const capture* c : fresh) {
    // On a kora processor the group tool comes first; the variant's tool tells the variant.
    const bool variant = std::any_of(c->tools.begin(), c->tools.end(), [](const auto& tool) {
      return tool.variant != tool_variant::both;
    });
    if (c->state == run_state::running && (variant || last)) return found(finding::started, c);
    if (c->state == run_state::unknown && c->grows) return found(finding::started_growing, c);
  }
  if (!last) return std::nullopt;
  if (!fresh.empty()) {
    const bool unknown = fresh[0]->state == run_state::unknown;
    return found(unknown ? finding::appeared_unknown : finding::appeared_without_tool, fresh[0]);
  }
  // The daemon carried out the last start when a stamped capture is as new
  // as that command: it then starts nothing before a stop. (A start on an
  // unknown capture is refused before.)
  const auto written = std::chrono::floor<std::chrono::seconds>(before.command.written);
  for (const capture& c : before.captures) {
    if (before.command.command.what == action::start && c.stamped && c.rank >= written) {
      return found(finding::start_ignored, &c);
    }
  }
  return found(finding::no_new_directory);
}

std::optional<answer> stop_seen(const look& s, bool packets, bool read, bool last) {
  std::vector<capture_tool> running = tools_of(s, packets);
  const bool blind = s.processes.blind.any();
  if (!blind && running.empty() && (read || last)) {
    return found(finding::stopped, nullptr, tools_of(s, packets, false), packets);
  }
  if (!last) return std::nullopt;
  return found(blind ? finding::stop_unknown : finding::still_running, nullptr, std::move(running),
               packets);
}

answer decide_timed_stop(const command_record& last, const own_capture& own) {
  const auto mine = [&last](const command_record& w) {
    return w.written == last.written && w.command.what == last.command.what &&
           w.command.packets == last.command.packets;
  };
  if (std::any_of(own.writes.begin(), own.writes.end(), mine)) return answer{};
  const action what = last.command.what;
  if (what == action::none) return answer{};
  return found(what == action::start ? finding::other_start : finding::other_stop, nullptr, {},
               own.packets);
}
