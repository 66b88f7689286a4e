// odlctl's waits, all one loop: look at the device, decide, and wait until
// something changes, the deadline comes or an ending event ends the wait.
// Deadlines are absolute and on CLOCK_BOOTTIME, which goes on while a phone
// sleeps; no single wait inside the loop is ever taken for the deadline.
//
// Ending events: SIGINT, SIGTERM and SIGHUP once caught, and in a guard its
// controller's word or end on the control pipe. Each ends the one wait it
// comes in (or the next, when it comes between two): none is ever dropped.
#pragma once

#include <android-base/unique_fd.h>
#include <poll.h>

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

// From then on SIGINT, SIGTERM and SIGHUP no longer end the process but a
// wait; a signal ignored from the outset (nohup) stays ignored.
void catch_end_signals();
// The descriptor they arrive at, -1 until they are caught; a guard keeps it.
int caught_signals();

// The guard's end of its control pipe (-1: none): its controller's end of it,
// or a signal number written into it, ends a wait; `detach_byte` makes the
// guard its own, deaf to the pipe from then on.
void listen_to_controller(int control);
inline constexpr char detach_byte = 'd';
inline constexpr int controller_ended = -1;

// The last ending event: a signal number, controller_ended, 0 while none came.
int last_ending();
// "SIGINT", "SIGTERM", "SIGHUP" or "its odlctl ended".
std::string ending_name(int ending);

// A timer of the boot clock that expires at `at`.
android::base::unique_fd boot_timer(boot_time at);

// Sleeps until `until`, until one of `fds` is ready or until an ending
// event; false for an ending event.
bool wait_until(boot_time until, const std::vector<pollfd>& fds);

// The one loop. `step(last)` looks and decides: an answer ends the watch.
// Between two looks it waits until one of `changes` is ready (step drains
// or replaces what it reads), `every` has passed (0: only on a change) or the
// deadline has come; step is asked with `last` once the deadline has passed
// and must answer then. An ending event ends the watch without an answer.
template <typename Step>
auto watch(boot_time deadline, std::chrono::milliseconds every, const std::vector<pollfd>& changes,
           Step step) -> decltype(step(false)) {
  for (;;) {
    const bool last = boot_clock::now() >= deadline;
    auto answer = step(last);
    if (answer || last) return answer;
    const boot_time now = boot_clock::now();
    const boot_time next = every.count() == 0 ? deadline : std::min(deadline, now + every);
    if (!wait_until(next, changes)) return {};
  }
}

// Whether an ending event is waiting, without waiting for one.
inline bool ending_pending() { return !wait_until(boot_clock::now(), {}); }
