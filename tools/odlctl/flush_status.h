// odlctl's commands that change no capture: flush and status.
#pragma once

#include "tools/odlctl/control.h"
#include "tools/odlctl/odlctl.h"

// The flush pipe's state as status and the warnings print it.
std::string describe(pipe_state state);

// Asks the daemon to drain the buffered diagnostic packets.
int flush(const arguments& args);

// Prints the capture configuration, the flush pipe, the last command, the free
// space and the capture directories; 1 when something could not be read.
int status(const arguments& args);
