#include "odlctl/watch.h"

#include <android-base/unique_fd.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <climits>
#include <ctime>

using android::base::unique_fd;

namespace {

// Where the ending signals arrive once they are caught.
unique_fd& signals() {
  static unique_fd* fd = new unique_fd;  // never destroyed: a guard's last wait may come late
  return *fd;
}

}  // namespace

boot_clock::time_point boot_clock::now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

void catch_end_signals() {
  sigset_t ends;
  sigemptyset(&ends);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&ends, sig);
    }
  }
  sigprocmask(SIG_BLOCK, &ends, nullptr);
  signals().reset(signalfd(-1, &ends, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals().ok()) {
    // Without a descriptor to take them at, the signals act as they would.
    sigprocmask(SIG_UNBLOCK, &ends, nullptr);
  }
}

int caught_signals() { return signals().get(); }

std::string signal_name(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

int wait_until(boot_time until, const std::vector<int>& fds) {
  // A timer on the boot clock: a deadline passed while the phone slept ends
  // the wait as it wakes.
  const unique_fd timer(timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC));
  const auto since_boot = until.time_since_epoch();
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
  itimerspec at{};
  at.it_value = {static_cast<time_t>(whole.count()),
                 static_cast<long>((since_boot - whole).count())};
  timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &at, nullptr);
  std::vector<pollfd> watched = {{signals().get(), POLLIN, 0}, {timer.get(), POLLIN, 0}};
  for (const int fd : fds) watched.push_back({fd, POLLIN, 0});
  // poll's own timeout, on the monotonic clock, where the timer could not be made.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - boot_clock::now());
  const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
  signalfd_siginfo info{};
  if (poll(watched.data(), watched.size(), timeout) > 0 && watched[0].revents != 0 &&
      read(signals().get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    return static_cast<int>(info.ssi_signo);
  }
  return 0;
}
