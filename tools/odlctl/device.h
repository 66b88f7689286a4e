// What odlctl reads of a device at one moment: the capture directories with
// their whole trees, the capture tool processes, the command file, the flush
// pipe, the capture configuration and the free space. Plain data, read by
// read_device.h and judged by decide.h; nothing here does any I/O.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

using wall_time = std::chrono::system_clock::time_point;

// A file as the kernel names it, whatever path or root led to it.
struct file_id {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const file_id&) const = default;
};

// A capture directory's whole tree, on its own file system only.
struct tree {
  unsigned long long bytes = 0;  // sizes of the regular files
  size_t files = 0;              // regular files
  wall_time newest{};            // latest modification of any entry, the directory's own included
  std::vector<std::string> mounts;  // paths inside that are another file system: never entered
  std::string error;                // the first entry that could not be read, named; "" if none
};

struct capture {
  std::string name;  // "odl_sns_2026_12_06_22_03_25", or "odl_sns_date_time"
  std::string path;  // as odlctl prints it: under the device's root
  file_id id;
  std::optional<tree> contents;  // read only when asked for
};

// A running capture tool (a launch, not a kill), from its command line.
struct capture_tool {
  pid_t pid = 0;
  std::string option;                // "-p 16", "-g 16384": what the daemon's kill lines match
  std::string output;                // the -o directory, in the process's own root
  std::optional<file_id> output_id;  // that directory; none when it is gone or cannot be read
  // Whether its root could be read, so that it is known to be this device's.
  // One that cannot (another user's) may be any device's: it is judged by
  // its command line alone.
  bool readable = true;
};

// A guard of a timed capture, as its state file says, believed only while
// its process runs.
struct guard {
  pid_t pid = 0;
  std::string capture;  // the name of the capture directory it stops
  wall_time stop_at{};
};

// The command file's first two non-empty lines, split as the daemon splits them.
struct command_record {
  std::string error;  // why it could not be read; "" when it was
  std::string first;
  std::string second;
  wall_time written{};  // modification time: when the last command was written
};

struct snapshot {
  std::string root;     // the device's root as seen from here; "" for this device
  std::string sensors;  // the sensors directory under it
  wall_time now{};
  std::string sensors_error;      // why the sensors directory could not be listed
  std::vector<capture> captures;  // newest first: a name is its start time
  std::vector<capture_tool> tools;
  // Processes whose command line could not be read: any of them may be a
  // capture tool, of any capture.
  std::vector<pid_t> unreadable;
  std::vector<guard> guards;
  command_record command;
  std::string config;  // "present", "missing" or why it cannot be told
  std::string pipe;    // the flush pipe: "served", "missing", ...
  unsigned long long free_bytes = 0;
  unsigned long long total_bytes = 0;
  std::string space_error;  // why the free space could not be measured
};
