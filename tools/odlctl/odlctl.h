// What odlctl's commands share: the command line as parsed, the way they
// fail, and how long they watch the capture directories.
#pragma once

#include <chrono>
#include <string>

struct arguments {
  std::string root;
  long wait_s = 15;
  std::string command;
  bool packets = false;
  long for_s = 0;  // start --for; 0 when the capture is not timed
  long keep = -1;  // prune --keep; -1 when not given
  bool dry_run = false;
};

// Captures have stopped when nothing changed in this long; the capture tool
// writes at least every second.
inline constexpr std::chrono::milliseconds settled{2500};
// How long status and prune watch the captures to tell which ones grow.
inline constexpr std::chrono::seconds growth_window{2};

// Prints `reason` on standard error and gives the exit status of a command
// whose effect was not seen.
int fail(const std::string& reason);
