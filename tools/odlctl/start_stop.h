// odlctl's commands that switch captures: start, stop and the timed capture.
#pragma once

#include "tools/odlctl/odlctl.h"

// Writes start or stop (`args.command`) into the command file and waits for
// its effect. `written` tells whether the command went into the file.
int start_or_stop(const arguments& args, bool& written);

// start --for: the start, the wait, then the matching stop, which SIGINT,
// SIGTERM or SIGHUP bring forward; the stop is written whenever the start was.
int timed_capture(const arguments& args);
