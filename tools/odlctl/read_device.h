// The one unit that reads a device: the file system under the sensors
// directory and the processes in /proc. Everything else in odlctl decides
// from what it returns. Paths are the device's own, under `root` ("" for this
// device); a simulated device's processes are found by the directories they
// write into, resolved in their own root, so one rule serves both.
#pragma once

#include <android-base/unique_fd.h>

#include <string>

#include "tools/odlctl/device.h"

using android::base::unique_fd;

// What read_device reads; the rest of the snapshot stays empty.
enum reading : unsigned {
  read_captures = 1U << 0,  // the capture directories, without their trees
  read_trees = 1U << 1,     // with their trees (implies read_captures)
  read_processes = 1U << 2,
  read_command = 1U << 3,
  read_config = 1U << 4,
  read_pipe = 1U << 5,
  read_space = 1U << 6,
  read_guards = 1U << 7,  // implies read_processes
};

snapshot read_device(const std::string& root, unsigned parts);

// A device path as seen from here.
std::string under(const std::string& root, const char* device_path);

// Whether something reads the flush pipe in the open sensors directory, found
// by opening it for writing without blocking: "served" (and `writer` then
// holds the descriptor) or what keeps a request from it. Nothing but a FIFO is
// ever opened there.
std::string probe_flush_pipe(int sensors, unique_fd& writer);

// A guard's name (/proc/PID/comm) and command line, as it shows itself.
inline constexpr const char* guard_process_name = "odlctl-guard";

// The names of guards' state files in the sensors directory, and one's own.
inline constexpr const char* guard_file_prefix = "odlctl_guard_";
std::string guard_file_name(pid_t pid);
