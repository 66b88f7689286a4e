// What odlctl concludes from snapshots of a device, each capture judged
// already: whether a command may be written, whether its effect is seen, and
// what prune removes. Pure functions, no I/O and no text: output.h says it.
//
// The daemon's rules, as odlctl counts on them: a start after a start it
// carried out and a stop after a stop (whatever the variant) do nothing; a
// stop's kill lines end the tools of its own variant and the group tool;
// after a command the daemon reads nothing for its pause.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "odlctl/device.h"

enum class finding {
  go,
  no_config,
  repeated_start,
  started,
  started_growing,
  appeared_without_tool,
  appeared_unknown,
  start_ignored,
  no_new_directory,
  stopped_already,
  not_ended_on_kill,
  ignored_after_other_stop,
  unknown_after_stop,
  stopped,
  stop_unknown,
  still_running,
  stopped_by_other,
  started_by_other,
  other_stop_ignored,
  other_stop_unknown
};

struct answer {
  finding what = finding::go;
  const capture* subject = nullptr;  // the capture it is about, in the snapshot decided on
  std::vector<capture_tool> tools;   // the capture tools it names
  bool packets = false;              // the variant it is about
};

// Whether a stop of that variant ends the tool.
bool ended_by_stop(const capture_tool& tool, bool packets);

// How much longer than its own wait a command written now may take to be
// read: the last command may have been written during a pause, and is
// followed by its own. A command stamped in the future has no longer.
std::chrono::nanoseconds pause_left(const command_record& last, wall_time now);

// Whether a start or a stop may be written, on the device before it; a
// decision not to write stands once `settled` (the daemon has had the time to
// read the last command), none is taken before.
std::optional<answer> decide_start(const snapshot& s, bool settled);
std::optional<answer> decide_stop(const snapshot& s, bool packets, bool settled);

// Whether the start written after `before` is seen in `now`: a capture tool
// runs for a new capture directory, or it grows. None until `last`.
std::optional<answer> start_seen(const snapshot& before, const snapshot& now, bool last);

// Whether the stop is seen: no capture tool of its variant runs, once `read`
// (the daemon has acted on it). None until `last`.
std::optional<answer> stop_seen(const snapshot& s, bool packets, bool read, bool last);

// A timed capture: its directory and the start it wrote.
struct own_capture {
  std::string name;
  bool packets = false;
  wall_time written{};
};
// Whether a timed capture's stop is still its to write; none until `settled`
// after another controller's command.
std::optional<answer> decide_timed_stop(const snapshot& s, const own_capture& own, bool settled);

enum class keep_reason { none, running, unknown, grows, mount_point, unreadable };
// What prune does to each capture directory beyond the `keep` newest.
std::vector<std::pair<const capture*, keep_reason>> plan_prune(const snapshot& s, size_t keep);
