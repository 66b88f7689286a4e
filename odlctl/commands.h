// odlctl's command line, and the commands that main dispatches to; each
// returns the exit status.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "odlctl/judge.h"
#include "odlctl/output.h"

enum class command { start, stop, flush, status, prune };

struct arguments {
  std::string root;  // the device's root as seen from here; "" for this device
  command what = command::status;
  unsigned wait_s = 15;  // how long start and stop wait for their effect
  bool packets = false;
  unsigned for_s = 0;  // start --for: the capture's length; 0 when not timed
  bool background = false;
  unsigned keep = 0;  // prune --keep
  bool dry_run = false;
  bool help = false;
};

extern const char* const usage;
extern const char* const help;

// The arguments of a command line; `refused` names what makes it none.
struct parsed {
  arguments args;
  std::string refused;
};
parsed parse_arguments(int argc, char* const* argv);

// start and stop: each writes its command when the device does not show what
// it asks for already, then looks at the device again until its effect or
// the deadline, holding the command file's lock throughout.
struct request {
  bool start = false;
  bool packets = false;
  const own_capture* own = nullptr;  // a timed capture's stop: written only while its own
  // A guard's: waits for the command file's lock as long as it takes, saying so.
  bool patient = false;
};
struct switched {
  verdict outcome;  // what to print, unless an ending signal cut it short
  finding what = finding::go;
  std::string capture;  // the capture directory the answer is about
  bool written = false;
  wall_time written_at{};  // the command file's modification time after the write
  int signal = 0;
};
switched switch_capture(const arguments& args, const request& r);

// Decides on the device as read_device shows it (into `seen`): `decide` is
// asked with `settled` once the daemon has had the time to read the last
// command, and until then the device is looked at again. None when an
// ending signal cut it short.
std::optional<answer> decide_settled(
    const arguments& args, snapshot& seen, int& signal,
    const std::function<std::optional<answer>(const snapshot& s, bool settled)>& decide);

// start --for SECONDS: the start, then a guard that owns the capture's end
// (guard.cpp tells how).
int timed_capture(const arguments& args);
// Remembers where the command line lies, for a guard to show itself as
// "odlctl-guard" there. Called by main first.
void keep_command_line(int argc, char** argv);

int status(const arguments& args);
// Removes the capture directories beyond the newest ones, never one that
// runs, grows or is unknown, never anything outside its own tree and file
// system; 1 when something could not be read or removed.
int prune(const arguments& args);
// Writes one byte into the flush pipe when something reads it.
int flush(const arguments& args);
