// The odlctl commands that main dispatches to; each returns the exit status.
#pragma once

#include "tools/odlctl/arguments.h"

// start --for SECONDS [--background]: the start, then the guard (guard.h).
int timed_capture(const arguments& args);

// Prints the device's state (decide.h's status_report); 1 when something
// could not be read.
int status(const arguments& args);

// Writes one byte into the flush pipe when something reads it.
int flush(const arguments& args);

// Removes the capture directories beyond the newest ones, never one that runs
// or grows, never anything outside its own tree and file system; 1 when
// something could not be removed.
int prune(const arguments& args);
