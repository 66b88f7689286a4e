// What odlctl concludes from its looks at a device: each capture's state,
// whether a command may be written, and whether its effect is seen. Pure functions, no I/O and no
// text: output.h says it.
//
// The daemon's rules, as odlctl counts on them: a start after a start it
// carried out and a stop after a stop (whatever the variant) do nothing; a
// stop's kill lines end the tools of its own variant and the group tool;
// after a command the daemon reads nothing for its pause.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "odlctl/read_device.h"

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
  other_start,
  other_stop,
};

struct answer {
  finding what = finding::go;
  const capture* subject = nullptr;  // the capture it is about, in the look decided on
  std::vector<capture_tool> tools;   // the capture tools it names
  bool packets = false;              // the variant it is about
  bool no_daemon = false;            // no effect seen, and nothing serves the flush pipe
};

// Each capture's tools, state and growth, from the processes seen.
void judge_states(look& s);

// Whether a stop of that variant may end the tool (a tool of no known
// variant may be of either).
bool ended_by_stop(const capture_tool& tool, bool packets);

// How much longer than its own wait a command written now may take to be
// read: the last command may have been written during a pause, and is
// followed by its own. A command stamped in the future has no longer.
std::chrono::nanoseconds pause_left(const command_record& last, wall_time now);

// Whether a start or a stop may be written, on the device before it; a
// decision not to write stands once `settled` (the daemon has had the time to
// read the last command), none is taken before.
std::optional<answer> decide_start(const look& s, bool settled);
std::optional<answer> decide_stop(const look& s, bool packets, bool settled);

// Whether the start written after `before` is seen in `now`: a capture tool
// runs for a new capture directory, or it grows. None until `last`.
std::optional<answer> start_seen(const look& before, const look& now, bool last);

// Whether the stop is seen: no capture tool of its variant runs, once `read`
// (the daemon has acted on it). None until `last`.
std::optional<answer> stop_seen(const look& s, bool packets, bool read, bool last);

// A timed capture: its directory and the commands its guard wrote.
struct own_capture {
  std::string name;
  bool packets = false;
  std::vector<command_record> writes;
};
// Whether its stop is still the guard's to write: not once the last command
// is another controller's start or stop.
answer decide_timed_stop(const command_record& last, const own_capture& own);
