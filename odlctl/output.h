// Every text odlctl shows, made here only, from what read_device saw and
// judge.h decided; and where the texts go: standard output, and standard
// error with each line led by "odlctl: ".
#pragma once

#include <string>

#include "odlctl/judge.h"

struct verdict {
  int status = 0;  // the exit status
  std::string out;
  std::string err;
};

// What answer `a`, found in `s`, tells; `own` names a timed capture's directory.
verdict say(const snapshot& s, const answer& a, const std::string& own = "");

verdict status_report(const snapshot& s);
std::string kept_text(const snapshot& s, const capture& c, keep_reason why);
std::string pipe_text(pipe_state state, int error);

// "22:15:04" on the day of `now`, "2027-01-03 22:15:04" on another (local time).
std::string clock_text(wall_time when, wall_time now);

// Prints a verdict's lines; returns its exit status.
int print(const verdict& v);
// Prints one error line; returns 1.
int fail(const std::string& reason);
