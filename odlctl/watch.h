// odlctl's waits, all one loop: look at the device, decide, and wait until
// something changes or the deadline comes. Deadlines are absolute and on
// CLOCK_BOOTTIME, which goes on while a phone sleeps; no single wait inside
// the loop is ever taken for the deadline.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

struct boot_clock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<boot_clock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};
using boot_time = boot_clock::time_point;

// From then on SIGINT, SIGTERM and SIGHUP no longer end the process but every
// wait; a signal ignored from the outset (nohup) stays ignored.
void catch_end_signals();

// The descriptor they arrive at, -1 until they are caught. A forked process
// reads its own signals there.
int caught_signals();

// "SIGINT", "SIGTERM" or "SIGHUP".
std::string signal_name(int signal);

// Sleeps until `until`, until one of `fds` is readable or until an ending
// signal comes; returns that signal, 0 if none came.
int wait_until(boot_time until, const std::vector<int>& fds);

// The clock and the sleep of a watch; tests give their own.
struct time_source {
  boot_time (*now)();
  int (*wait_until)(boot_time until, const std::vector<int>& fds);
};
inline constexpr time_source real_time{&boot_clock::now, &wait_until};

// The one loop. `step(last)` looks and decides: an answer ends the watch.
// Between two looks it waits until one of `changes` is readable (step drains
// or replaces what it reads), `every` has passed (0: only on a change) or the
// deadline has come; step is asked with `last` once the deadline has passed
// and must answer then. An ending signal ends the watch without an answer,
// the signal in `signal`.
template <typename Step>
auto watch(boot_time deadline, std::chrono::milliseconds every, const std::vector<int>& changes,
           int& signal, Step step, const time_source& time = real_time) -> decltype(step(false)) {
  for (;;) {
    const bool last = time.now() >= deadline;
    auto answer = step(last);
    if (answer || last) return answer;
    const boot_time now = time.now();
    const boot_time next = every.count() == 0 ? deadline : std::min(deadline, now + every);
    signal = time.wait_until(next, changes);
    if (signal != 0) {
      return {};
    }
  }
}
