// odlctl's command line: what a command was asked to do.
#pragma once

#include <optional>
#include <string>

struct arguments {
  std::string root;     // the device's root as seen from here; "" for this device
  std::string command;  // start, stop, flush, status or prune
  long wait_s = 15;     // how long start and stop wait for their effect
  bool packets = false;
  long for_s = 0;  // start --for: the capture's length; 0 when not timed
  bool background = false;
  long keep = -1;  // prune --keep
  bool dry_run = false;
};

// The usage line, and the whole help text.
extern const char* const usage;
extern const char* const help;

// The arguments of a command line; none when it is not one (a repeated or
// misplaced option, a number that is not plain digits, an empty --root).
std::optional<arguments> parse_arguments(int argc, const char* const* argv);
