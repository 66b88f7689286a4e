// What odlctl reads of a device at one moment, and how complete that reading
// is: one snapshot, each capture judged once as it is read. Paths are the
// device's own, under `root` ("" for this device); a simulated device's
// processes are told apart by the sensors directory they see in their own
// root, so one rule serves both.
#pragma once

#include <android-base/unique_fd.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using wall_time = std::chrono::system_clock::time_point;

struct file_id {
  dev_t dev = 0;
  ino_t ino = 0;
  auto operator<=>(const file_id&) const = default;
};

// Which stops end a capture tool: its variant's, both (the kora group tool)
// or none (an option the daemon never gives).
enum class tool_variant { default_variant, packets_variant, both, neither };

// A launch of the capture tool that writes into this device's sensors
// directory or into one of its captures.
struct capture_tool {
  pid_t pid = 0;
  std::string option;  // "-p 16", as its command line gives it
  tool_variant variant = tool_variant::neither;
  std::string output;  // its -o directory, in its own root
  file_id writes_into;
};

// running: a capture tool runs for it. finished: none does, and nothing that
// could not be seen may be one. unknown: otherwise.
enum class run_state { running, finished, unknown };

struct capture {
  std::string name;  // "odl_sns_2026_12_06_22_03_25" or "odl_sns_date_time"
  std::string path;  // as odlctl prints it
  file_id id;
  bool stamped = true;       // false for odl_sns_date_time
  bool mount_point = false;  // another file system is mounted on it: never walked or removed
  // Its whole tree on its own file system, once walked: the sizes and number
  // of its regular files, its latest write, the paths inside that are another
  // file system, and the first entry that could not be read.
  bool walked = false;
  unsigned long long bytes = 0;
  size_t files = 0;
  wall_time newest{};
  std::vector<std::string> mounts;
  std::string error;
  wall_time rank{};  // when it started, by its stamp; odl_sns_date_time: its last write
  run_state state = run_state::unknown;
  std::vector<capture_tool> tools;  // those that run for it
  bool grows = false;               // written in the last 2 s (a write in the future is not)
};

// What could not be seen: any of it may hide a capture tool of any capture.
struct blind_spots {
  bool no_sensors = false;        // no sensors directory to tell this device's tools by
  bool hidden = false;            // /proc hides other users' processes
  std::vector<pid_t> unreadable;  // processes, or capture tools' roots, this user may not read
  std::vector<pid_t> unresolved;  // this device's capture tools whose directory is gone or moved
  bool any() const { return no_sensors || hidden || !unreadable.empty() || !unresolved.empty(); }
};

// A timed capture's guard, as its record in the sensors directory says.
struct guard_record {
  pid_t pid = 0;
  std::string capture;
  wall_time stop_at{};
  bool runs = false;  // a guard process with that pid runs and owns the record
};

// The command file's first two non-empty lines, split as the daemon splits them.
struct command_record {
  std::string error;  // why it could not be read
  std::string first;
  std::string second;
  wall_time written{};  // its modification time: when the last command was written
};

enum class pipe_state { served, missing, link, not_fifo, not_served, not_permitted, failed };

struct snapshot {
  std::string root;
  std::string sensors;  // the sensors directory, as printed
  wall_time now{};
  std::string sensors_error;
  std::vector<capture> captures;  // newest first
  std::vector<capture_tool> tools;
  blind_spots blind;
  std::vector<guard_record> guards;
  command_record command;
  int config_error = 0;  // 0: the capture configuration is there; why not otherwise
  pipe_state pipe = pipe_state::missing;
  int pipe_error = 0;
  std::optional<std::pair<unsigned long long, unsigned long long>> space;  // free, total
};

// What read_device reads besides the capture directories; the rest stays empty.
enum reading : unsigned {
  read_trees = 1U << 0,   // every capture's tree
  read_growth = 1U << 1,  // the trees when processes cannot all be seen
  read_processes = 1U << 2,
  read_command = 1U << 3,
  read_config = 1U << 4,
  read_guards = 1U << 5,
  read_extras = 1U << 6,  // the flush pipe and the space
};
snapshot read_device(const std::string& root, unsigned parts);

// The sensors directory, opened from the root one directory at a time and
// never through a symbolic link; `error` says why not.
android::base::unique_fd open_sensors(const std::string& root, std::string& error);

// Opens the command file in the open sensors directory with `mode`, never
// through a link, never when another name links to it, never when it is not
// a regular file (a FIFO is opened without blocking and refused). Returns why
// not, "" on success.
std::string open_command_file(int sensors, const std::string& root, int mode,
                              android::base::unique_fd& file);

// Whether the flush pipe in the open sensors directory is served, by opening
// it for writing without blocking (into `writer`, when given); nothing but a
// FIFO is opened there. `error`: the errno behind pipe_state::failed.
pipe_state probe_flush_pipe(int sensors, android::base::unique_fd* writer, int& error);

// Whether /proc hides other users' processes, from its mount's options in
// /proc/self/mountinfo and from the process that must be visible: pid 1,
// unless it is this one.
bool proc_hidden(std::string_view mountinfo, uid_t euid, bool pid1_listed, pid_t own_pid);

// The start time a capture directory's name gives ("odl_sns_" and a real
// local time), the epoch for odl_sns_date_time, none for any other name.
std::optional<wall_time> capture_start(std::string_view name);

// Plain decimal digits: no blank, sign or base prefix, which libbase's number
// parsers let through.
inline bool plain_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

inline constexpr const char* guard_process_name = "odlctl-guard";
std::string guard_record_name(pid_t pid);
