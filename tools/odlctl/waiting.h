// odlctl's waits. Every one has a deadline. Once catch_end_signals has run
// (a timed capture), SIGINT, SIGTERM and SIGHUP no longer end the process but
// every wait; a signal ignored from the outset (nohup) stays ignored.
#pragma once

#include <android-base/unique_fd.h>
#include <sys/types.h>

#include <chrono>
#include <vector>

using android::base::unique_fd;

using steady = std::chrono::steady_clock;

void catch_end_signals();

// "SIGINT", "SIGTERM" or "SIGHUP".
const char* signal_name(int signal);

struct woken {
  int signal = 0;  // the ending signal that came, 0 if none
  int fd = -1;     // the first of the descriptors waited on that is readable, -1 if none
};

// Sleeps until `until`, one of `fds` becomes readable or an ending signal
// comes, whichever is first.
woken wait_until(steady::time_point until, const std::vector<int>& fds = {});

// Descriptors that become readable when these processes end (pidfds), for
// wait_until; a process that has ended already gives none.
class process_ends {
 public:
  explicit process_ends(const std::vector<pid_t>& pids);
  std::vector<int> fds() const;

 private:
  std::vector<unique_fd> owned_;
};
