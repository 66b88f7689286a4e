// What odlctl concludes from snapshots of a device (device.h). Pure
// functions: no I/O, the time is the snapshot's own.
//
// The daemon's rules, as odlctl counts on them: a capture runs while a
// capture tool process runs for its directory; a start after a start it
// carried out and a stop after a stop (whatever the variant) do nothing; a
// stop's kill lines end the tools of its own variant (-p 4 or -p 16 by
// default, -p 5 or -p 17 with the packets option) and the -g 16384 one; after
// a start the daemon reads nothing for 3 s, after a stop for 5 s. Growth (a
// write in a capture's tree in the last 2 s) is shown and keeps a capture from
// being pruned, but never proves that a capture has ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/odlctl/device.h"

// "odl_sns_" and a real local time as the daemon writes it
// ("%Y_%m_%d_%H_%M_%S"), or "odl_sns_date_time".
bool is_capture_name(std::string_view name);

// The capture directory name of a start read at `when` (local time).
std::string capture_name_at(wall_time when);

// "22:15:04", the local time of day.
std::string local_clock(wall_time when);

// Whether a stop of that variant ends the tool.
bool ended_by_stop(const capture_tool& tool, bool packets);

// The processes that cannot be read (another user's) and may be this
// device's capture tools: those whose command line cannot be read either, and
// capture tools that write, by their command line, into its directories.
size_t unreadable_count(const snapshot& s);

// How much longer than its own wait a command written now may take to be
// read: the last command itself may have been written during a pause (5 s at
// most) and is followed by its own (3 s after a start, 5 s after a stop).
std::chrono::nanoseconds pause_left(const command_record& last, wall_time now);

// What odlctl does or says next. `done` with an exit status ends the
// command: `out` goes to standard output, `err` to standard error.
struct verdict {
  bool done = false;
  int status = 0;
  std::string out;
  std::string err;
  std::string capture;  // start_seen: the name of the capture directory seen
};

// Whether a start may be written, from the device before it: refused (done)
// when what it asks for holds already.
verdict decide_start(const snapshot& s);

// Whether the start written after `before` is seen in `now`: a capture tool
// of a variant runs for a new capture directory. `last_look` says why not.
verdict start_seen(const snapshot& before, const snapshot& now, bool last_look);

// Whether a stop may be written: a stop after a stop is ignored by the
// daemon, so then the answer is what holds already.
verdict decide_stop(const snapshot& s, bool packets);

// Whether the stop is seen: no capture tool of its variant runs, once `read`
// (the daemon has acted on it, or can no longer be launching any). `last_look`
// names what still runs.
verdict stop_seen(const snapshot& s, bool packets, bool read, bool last_look);

// A timed capture's own: its directory and the start it wrote.
struct own_capture {
  std::string name;
  bool packets = false;
  wall_time written{};
};

// Whether a timed capture's stop is still its to write: not when another
// controller stopped it or started another meanwhile (done, status 1).
verdict decide_timed_stop(const snapshot& s, const own_capture& own);

// The lines of odlctl status, and its exit status in `status`.
verdict status_report(const snapshot& s);

// What prune does to each capture directory beyond the `keep` newest: kept
// (with the reason) or removed.
struct prune_step {
  const capture* target;
  std::string kept_because;  // "" when it goes
};
std::vector<prune_step> plan_prune(const snapshot& s, size_t keep);
