// What odlctl reads of a device at one moment, and how complete that reading
// is. Paths are the device's own under `root` ("" for this device); a
// simulated device's processes are told apart by the sensors directory they
// see in their own root, so one rule serves both. Every read opens the
// sensors directory once, and never through a symbolic link.
#pragma once

#include <android-base/unique_fd.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/odl_protocol.h"

using wall_time = std::chrono::system_clock::time_point;

struct file_id {
  dev_t dev = 0;
  ino_t ino = 0;
  auto operator<=>(const file_id&) const = default;
};

// Which stops end a capture tool: its variant's, both (the kora group tool),
// or either (an option the daemon never gives, or a command line that no
// longer says).
enum class tool_variant { default_variant, packets_variant, both, unknown };

// A process of this device that runs the device's capture tool.
struct capture_tool {
  pid_t pid = 0;
  std::string option;  // "-p 16", as its command line gives it; "" when it does not
  tool_variant variant = tool_variant::unknown;
  std::string output;  // the directory its command line gives, in its own root
  // Where it writes: the directories in the sensors directory that hold its
  // open files or its working directory, else the one its command line gives.
  std::vector<file_id> writes_into;
};

// A timed capture's guard: a process named odlctl-guard that runs odlctl's
// own executable, holding open the capture directory it guards and a timer
// of its stop.
struct guard_process {
  pid_t pid = 0;
  std::vector<file_id> holds;  // the directories it holds open
  wall_time stop_at{};
};

// What could not be seen: any of it may hide a capture tool of any capture.
struct blind_spots {
  bool no_sensors = false;  // no sensors directory to tell this device's processes by
  bool hidden = false;      // /proc hides other users' processes
  bool no_daemon = false;   // the flush pipe is served, by no process seen
  std::vector<std::pair<pid_t, uid_t>> unreadable{};  // processes that may be this device's, owners
  std::vector<pid_t> unresolved{};                    // capture tools whose directory is untold
  bool any() const {
    return no_sensors || hidden || no_daemon || !unreadable.empty() || !unresolved.empty();
  }
};

struct process_view {
  std::vector<capture_tool> tools;
  std::vector<guard_process> guards;
  blind_spots blind;
};

// running: a capture tool writes into it. finished: none does, and nothing
// that could not be seen may be one. unknown: otherwise.
enum class run_state { running, finished, unknown };

// A capture directory's whole tree on its own file system: the sizes and
// number of its regular files, its latest write, the paths inside that are
// another file system, and the first entry that could not be read.
struct tree_figures {
  unsigned long long bytes = 0;
  size_t files = 0;
  wall_time newest{};
  std::vector<std::string> mounts;
  std::string error;
};

struct capture {
  std::string name;  // "odl_sns_2026_12_06_22_03_25" or "odl_sns_date_time"
  std::string path;  // as odlctl prints it
  file_id id;
  bool stamped = true;                 // false for odl_sns_date_time
  bool mount_point = false;            // another file system is on it: never walked or removed
  std::optional<tree_figures> tree{};  // once walked
  wall_time rank{};  // when it started, by its stamp; odl_sns_date_time: its last write
  run_state state = run_state::unknown;
  std::vector<capture_tool> tools{};  // those that write into it
  bool grows = false;                 // walked, and written in the last 2 s (not in the future)
};

// The last command: the command file's first two non-empty lines, and when
// they were written (its modification time).
struct command_record {
  std::string error;  // why it could not be read
  odl::command command;
  wall_time written{};
};

// One reading of the device: its captures, newest first, each judged from
// the processes seen, and the last command.
struct look {
  std::string root;
  std::string sensors;  // the sensors directory, as printed
  wall_time now{};
  std::string sensors_error;
  std::vector<capture> captures;
  process_view processes;
  command_record command;
  int config_error = 0;  // 0: the capture configuration is there; why not otherwise
};

// A look whose captures' trees are walked where `walk` says (none without).
look look_at(const std::string& root, const std::function<bool(const capture&)>& walk = {});

enum class pipe_state { served, missing, link, not_fifo, not_served, not_permitted, failed };

// Everything: a look with every capture's tree walked, the flush pipe and
// the free space.
struct snapshot : look {
  pipe_state pipe = pipe_state::missing;
  int pipe_error = 0;
  std::optional<std::pair<unsigned long long, unsigned long long>> space;  // free, total
};
snapshot read_device(const std::string& root);

// The names of the capture directories alone (not told from other entries).
std::vector<std::string> capture_names(const std::string& root);

// The last command alone, from the device's command file or from one open.
command_record read_command(const std::string& root);
command_record read_command(int file, const std::string& root);

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

// The processes of the device whose open sensors directory is `sensors` (-1
// when it could not be opened), and with `guards` the guards of any device.
process_view read_processes(int sensors, bool guards);

// The start time a capture directory's name gives ("odl_sns_" and a real
// local time), the epoch for odl_sns_date_time, none for any other name.
std::optional<wall_time> capture_start(std::string_view name);

// Plain decimal digits: no blank, sign or base prefix, which libbase's number
// parsers let through.
inline bool plain_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The name a guard gives itself (its comm), which status looks for.
inline constexpr const char* guard_process_name = "odlctl-guard";
