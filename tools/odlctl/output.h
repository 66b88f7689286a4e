// Where odlctl's verdicts go: standard output and standard error, each error
// line led by "odlctl: ", or, for a guard, the pipe to the controller that
// prints them.
#pragma once

#include "tools/odlctl/decide.h"

// Prints a verdict's lines; returns its exit status.
int print(const verdict& v);

// Prints one error line and gives the exit status 1.
int fail(const std::string& reason);

// A verdict's lines, and its status when it is done, as the lines a guard
// writes to its controller: "1" and a line of standard output, "2" and a line
// of standard error, "=" and the exit status.
std::string encode(const verdict& v);

// Prints the complete lines of `text` that encode wrote, keeping a partial
// one; the status, once a "=" line came, goes into `status`.
void print_encoded(std::string& text, int& status);
