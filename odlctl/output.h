// Every text odlctl shows, made here from what its looks saw and judge.h
// decided, and where the texts go: standard output, and standard error with
// each line led by "odlctl: "; in a guard, its controller, as report lines.
#pragma once

#include <string>

#include "odlctl/judge.h"

struct verdict {
  int status = 0;  // the exit status
  std::string out;
  std::string err;
};

// What answer `a`, found in `s`, tells, and its exit status; `own` names a
// timed capture's directory.
verdict say(const look& s, const answer& a, const std::string& own = "");

// A capture's state: "running (pid 12 -p 16, default)", "finished",
// "unknown: WHY" or "growing, unknown: WHY".
std::string state_text(const look& s, const capture& c);
// What could not be seen, and who may see it.
std::string blind_text(const blind_spots& b);
// "pid 12 (-p 16 into DIR), pid 13 (-g 16384 into DIR)".
std::string tools_text(const look& s, const std::vector<capture_tool>& tools);
// "start --packets", "stop".
std::string command_name(const odl::command& c);
std::string age_text(wall_time then, wall_time now);
std::string pipe_text(pipe_state state, int error);
// "22:15:04" on the day of `now`, "2027-01-03 22:15:04" on another (local time).
std::string clock_text(wall_time when, wall_time now);

// Prints a verdict's lines; returns its exit status.
int print(const verdict& v);
// Prints one error line; returns 1.
int fail(const std::string& reason);

// From then on what print and fail print goes into `fd` as report lines for
// a guard's controller: "o TEXT" for standard output, "e TEXT" for standard
// error. Never blocks: the guard goes on without a reader.
void report_into(int fd);
// A report line of another kind (guard.cpp tells them); nothing outside a guard.
void report(const std::string& line);
