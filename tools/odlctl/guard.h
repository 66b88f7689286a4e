// The guard of a timed capture: a process of odlctl's own, in a session of
// its own, that outlives the odlctl that started it. It writes the capture's
// stop (timed_stop) when the time is up, when its controller asks for it or
// ends first in any way (the control pipe's end tells it, SIGKILL included),
// or when SIGINT, SIGTERM or SIGHUP reach it. Its command line reads
// "odlctl-guard". It writes nothing when another
// controller stopped the capture or started another: it watches the command
// file for that. It records itself in the sensors directory
// ("odlctl_guard_PID") for status, and never lives longer than the capture's
// time and the stop's wait.
#pragma once

#include <android-base/unique_fd.h>

#include "tools/odlctl/arguments.h"
#include "tools/odlctl/decide.h"
#include "tools/odlctl/waiting.h"

// The controller's ends of the pipes to its guard.
struct guard_link {
  unique_fd control;  // a byte asks for the stop now; closing it, for the stop too
  unique_fd report;   // the guard's verdict, as output.h encodes it; ends with the guard
};

// Remembers where the process's command line lies, so that a guard can show
// itself as "odlctl-guard" there (not as its controller's command, which
// `pkill -f` would then match). Called by main first.
void keep_command_line(int argc, char** argv);

// Starts the guard of `own`, to stop it at `stop_at` (`stop_at_wall` on the
// device's clock, for status). With `link` the guard answers to the caller;
// without, it runs alone. Returns the guard's pid, or -1 with errno.
pid_t start_guard(const arguments& args, const own_capture& own, steady::time_point stop_at,
                  wall_time stop_at_wall, guard_link* link);
