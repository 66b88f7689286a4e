// odlctl's command line, and the commands that main dispatches to; each
// returns the exit status.
#pragma once

#include <functional>
#include <string>

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
std::string help_text();

// The arguments of a command line; `refused` names the word that makes it
// none, and what is wrong with it.
struct parsed {
  arguments args;
  std::string refused;
};
parsed parse_arguments(int argc, char* const* argv);

// start and stop: each writes its command when the device does not show what
// it asks for already, then looks at the device again until its effect or
// the deadline, holding the command file's lock from its first look until it
// has seen the effect.
struct request {
  odl::command command;
  const own_capture* own =
      nullptr;           // a guard's stop: written only while the last command is its own
  int file = -1;         // the command file, open for writing, when the caller holds it
  bool patient = false;  // waits for the lock as long as it takes, saying so
};
struct switched {
  verdict outcome;  // what to print, unless an ending event cut it short
  finding what = finding::go;
  std::string capture;  // the capture directory the answer is about, and its id
  file_id id;
  bool written = false;
  bool cut = false;  // an ending event ended a wait (watch.h's last_ending says which)
};
// `on_write` is told just before the command is written, then just after it (with when).
switched switch_capture(const arguments& args, const request& r,
                        const std::function<void(const command_record&, bool done)>& on_write = {});

// start --for SECONDS: a guard that starts the capture and owns its end
// (guard.cpp tells how).
int timed_capture(const arguments& args);
// Remembers where the command line lies, for a guard to show its title there.
// Called by main first.
void keep_command_line(int argc, char** argv);

int status(const arguments& args);
// Removes the capture directories beyond the newest ones, never one that
// runs, grows or is unknown, never anything outside its own tree and file
// system; 1 when something could not be read or removed.
int prune(const arguments& args);
// Writes one byte into the flush pipe when something reads it.
int flush(const arguments& args);
// Writes the one byte of a flush request into `writer`, the flush pipe at `path`.
int request_flush(int writer, const std::string& path);
