// What odlctl does to the files the daemon watches: the command file and the
// flush pipe. Neither is ever opened through a symbolic link, and no open
// blocks. Nothing here reaches a shell.
#pragma once

#include <chrono>
#include <string>
#include <utility>

#include "daemon/unique_fd.h"

// A device path under the device's root directory ("" for this device's own).
std::string under(const std::string& root, const char* device_path);

enum class pipe_state { served, missing, not_permitted, a_link, not_a_fifo, not_served };

// Whether something reads the flush pipe at `path`, found by opening it for
// writing without blocking; `writer` then holds the open descriptor. Nothing
// is ever opened at the path when it is not a FIFO.
pipe_state probe_flush_pipe(const std::string& path, unique_fd& writer);

// The on-device-logging command file, open for one odlctl command.
class command_file {
 public:
  // Opens `path` (for writing too when `writable`). Returns an error text,
  // empty on success: a link, a FIFO or a device there is refused.
  std::string open(const std::string& path, bool writable);

  // Takes the advisory lock that odlctl's writers hold from reading the last
  // command until they have seen their own one's effect; waits for another
  // holder until `deadline` at most. The lock goes with the object.
  bool lock(std::chrono::steady_clock::time_point deadline) const;

  // The first two non-empty lines of the file's first 4 kB, split as the
  // daemon splits them ("" for those it does not have).
  std::pair<std::string, std::string> command() const;

  // Writes the two command lines over the start of the file and then cuts off
  // what is left behind them: the daemon never reads an empty or partial
  // command. Returns an error text, empty on success.
  std::string write(const std::string& command, bool packets) const;

 private:
  std::string path_;
  unique_fd file_;
};
