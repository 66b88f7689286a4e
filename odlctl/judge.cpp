#include "odlctl/judge.h"

#include <algorithm>

#include "interfaces/odl_protocol.h"

namespace {

answer found(finding what, const capture* subject = nullptr, std::vector<capture_tool> tools = {},
             bool packets = false) {
  return {what, subject, std::move(tools), packets};
}

// The tools that a stop of that variant ends, or (`ended` false) leaves.
std::vector<capture_tool> tools_of(const snapshot& s, bool packets, bool ended = true) {
  std::vector<capture_tool> found;
  std::copy_if(s.tools.begin(), s.tools.end(), std::back_inserter(found),
               [&](const capture_tool& tool) { return ended_by_stop(tool, packets) == ended; });
  return found;
}

const capture* find(const snapshot& s, const std::string& name) {
  const auto at = std::find_if(s.captures.begin(), s.captures.end(),
                               [&name](const capture& c) { return c.name == name; });
  return at == s.captures.end() ? nullptr : &*at;
}

// A decision not to write stands only once settled.
std::optional<answer> unless_unsettled(answer a, bool settled) {
  return a.what == finding::go || settled ? std::optional(std::move(a)) : std::nullopt;
}

}  // namespace

bool ended_by_stop(const capture_tool& tool, bool packets) {
  const tool_variant own = packets ? tool_variant::packets_variant : tool_variant::default_variant;
  return tool.variant == tool_variant::both || tool.variant == own;
}

std::chrono::nanoseconds pause_left(const command_record& last, wall_time now) {
  using std::chrono::nanoseconds;
  const nanoseconds own = last.first == odl::start_word  ? odl::pause_after_start
                          : last.first == odl::stop_word ? odl::pause_after_stop
                                                         : nanoseconds(0);
  const nanoseconds most = odl::pause_after_stop + own;
  return std::clamp<nanoseconds>(last.written + most - now, nanoseconds(0), most);
}

std::optional<answer> decide_start(const snapshot& s, bool settled) {
  if (s.config_error == ENOENT) return found(finding::no_config);
  for (const capture& c : s.captures) {
    if (s.command.first == odl::start_word && (c.state == run_state::running || c.grows)) {
      return unless_unsettled(found(finding::repeated_start, &c), settled);
    }
  }
  return answer{};
}

std::optional<answer> decide_stop(const snapshot& s, bool packets, bool settled) {
  if (s.command.first != odl::stop_word) {
    return answer{};
  }
  std::vector<capture_tool> running = tools_of(s, packets);
  const bool same = (s.command.second == odl::packets_option) == packets;
  const finding what = s.blind.any()     ? finding::unknown_after_stop
                       : running.empty() ? finding::stopped_already
                       : same            ? finding::not_ended_on_kill
                                         : finding::ignored_after_other_stop;
  return unless_unsettled(found(what, nullptr, std::move(running), packets), settled);
}

std::optional<answer> start_seen(const snapshot& before, const snapshot& now, bool last) {
  std::vector<const capture*> fresh;
  for (const capture& c : now.captures) {
    if (find(before, c.name) == nullptr) fresh.push_back(&c);
  }
  for (const capture* c : fresh) {
    // On a kora processor the group tool comes first; the variant's tool tells the variant.
    const bool variant = std::any_of(c->tools.begin(), c->tools.end(), [](const auto& tool) {
      return tool.variant != tool_variant::both;
    });
    if (c->state == run_state::running && (variant || last)) return found(finding::started, c);
    if (c->grows) return found(finding::started_growing, c);
  }
  if (!last) return std::nullopt;
  if (!fresh.empty()) {
    const bool unknown = fresh[0]->state == run_state::unknown;
    return found(unknown ? finding::appeared_unknown : finding::appeared_without_tool, fresh[0]);
  }
  // The daemon carried out the last start when a stamped capture is as new
  // as that command: it then starts nothing before a stop.
  const auto written = std::chrono::floor<std::chrono::seconds>(before.command.written);
  for (const capture& c : before.captures) {
    if (before.command.first == odl::start_word && c.stamped && c.rank >= written) {
      return found(finding::start_ignored, &c);
    }
  }
  return found(finding::no_new_directory);
}

std::optional<answer> stop_seen(const snapshot& s, bool packets, bool read, bool last) {
  std::vector<capture_tool> running = tools_of(s, packets);
  if (!s.blind.any() && running.empty() && (read || last)) {
    return found(finding::stopped, nullptr, tools_of(s, packets, false), packets);
  }
  if (!last) return std::nullopt;
  const finding what = s.blind.any() ? finding::stop_unknown : finding::still_running;
  return found(what, nullptr, std::move(running), packets);
}

std::optional<answer> decide_timed_stop(const snapshot& s, const own_capture& own, bool settled) {
  if (s.command.written == own.written) {
    return answer{};
  }
  if (!settled) return std::nullopt;
  for (const capture& c : s.captures) {
    if (c.name != own.name && c.state == run_state::running) {
      return found(finding::started_by_other, &c);
    }
  }
  // Another controller's start, which the daemon ignored: the capture is still this one's.
  if (s.command.first != odl::stop_word) {
    return answer{};
  }
  const capture* mine = find(s, own.name);
  const run_state gone = s.blind.any() ? run_state::unknown : run_state::finished;
  const run_state state = mine == nullptr ? gone : mine->state;
  const finding what = state == run_state::finished  ? finding::stopped_by_other
                       : state == run_state::running ? finding::other_stop_ignored
                                                     : finding::other_stop_unknown;
  return found(what, mine, {}, own.packets);
}

std::vector<std::pair<const capture*, keep_reason>> plan_prune(const snapshot& s, size_t keep) {
  std::vector<std::pair<const capture*, keep_reason>> steps;
  for (size_t i = keep; i < s.captures.size(); ++i) {
    const capture& c = s.captures[i];
    const keep_reason kept = c.mount_point                   ? keep_reason::mount_point
                             : c.state == run_state::running ? keep_reason::running
                             : c.state == run_state::unknown ? keep_reason::unknown
                             : !c.error.empty()              ? keep_reason::unreadable
                             : c.grows                       ? keep_reason::grows
                                                             : keep_reason::none;
    steps.emplace_back(&c, kept);
  }
  return steps;
}
