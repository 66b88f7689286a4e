// Host stand-in of the sensor log library, and the trace lines of the other
// stand-ins. Every line goes to standard error in one write:
//   <seconds>.<microseconds> <pid> <tid> <L> <tag>: <text>
// with CLOCK_MONOTONIC seconds and six-digit microseconds. Safe from any thread.
#pragma once

// A trace line of a stand-in: level I, always printed whatever the daemon's level.
void host_trace(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
