// The on-device-logging command file, open for one odlctl command. It is
// never opened through a symbolic link, never when another name links to it
// too, and never when it is not a regular file (a FIFO there is opened without
// blocking and refused). Every write goes through this one descriptor.
#pragma once

#include <android-base/unique_fd.h>

#include <chrono>
#include <string>

#include "tools/odlctl/device.h"

using android::base::unique_fd;

class command_file {
 public:
  // Opens the command file in the open sensors directory, shown as `path`
  // (for writing too when `writable`). Returns an error text, "" on success.
  std::string open(int sensors, const std::string& path, bool writable);

  // Takes the advisory lock that odlctl's writers hold from reading the last
  // command until they have seen their own one's effect; waits for another
  // holder until `deadline` at most. The lock goes with the object.
  bool lock(std::chrono::steady_clock::time_point deadline) const;

  // The first two non-empty lines of the file's first 4 kB, and when it was
  // last written.
  command_record read() const;

  // Writes the two command lines over the start of the file, then cuts off
  // what is left behind them: the daemon never reads an empty or partial
  // command. Returns an error text, "" on success; `written` is then the
  // file's modification time, which tells this write from any later one.
  std::string write(const std::string& command, bool packets, wall_time& written) const;

 private:
  std::string path_;
  unique_fd file_;
};

// The file's modification time.
wall_time modified(const struct stat& status);
