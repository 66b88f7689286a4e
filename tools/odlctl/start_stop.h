// odlctl start and stop: each writes its command into the command file and
// then reads the device again until its effect or the deadline. Both hold the
// command file's lock from reading the last command until they return.
#pragma once

#include "tools/odlctl/arguments.h"
#include "tools/odlctl/decide.h"

struct switched {
  verdict outcome;  // done, unless an ending signal cut the wait short
  bool written = false;
  wall_time written_at{};  // the command file's modification time after the write
  int signal = 0;
};

// Writes start (or stop) when the device does not show what it asks for
// already, and waits for it to be seen.
switched switch_capture(const arguments& args, bool start);

// A timed capture's stop: written only while it is `own`'s to write, then
// waited for as a stop. `signal` is set when an ending signal cut it short.
verdict timed_stop(const arguments& args, const own_capture& own, int& signal);
