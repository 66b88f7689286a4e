#include "odlctl/watch.h"

#include <android-base/unique_fd.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <climits>
#include <ctime>

using android::base::unique_fd;

namespace {

// Where the ending signals arrive once they are caught, and the control pipe.
// Never destroyed: a guard's last wait may come late.
unique_fd& signals() {
  static unique_fd* fd = new unique_fd;
  return *fd;
}
int control = -1;
int ending = 0;

// The event waiting on an entry of the two, if any.
bool ended(const pollfd& entry) {
  signalfd_siginfo info{};
  char byte = 0;
  if (entry.revents == 0) return false;
  if (entry.fd == signals().get()) {
    const bool read_whole = read(entry.fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
    ending = read_whole ? static_cast<int>(info.ssi_signo) : ending;
    return read_whole;
  }
  const ssize_t length = read(entry.fd, &byte, 1);
  if (length < 0) return false;
  // The controller's end is final, and so is a detach: the pipe is heard no more.
  if (length == 0 || byte == detach_byte) control = -1;
  ending = length == 0 ? controller_ended : byte == detach_byte ? ending : byte;
  return length == 0 || byte != detach_byte;
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

void listen_to_controller(int fd) { control = fd; }

int last_ending() { return ending; }

std::string ending_name(int event) {
  return event == SIGINT    ? "SIGINT"
         : event == SIGTERM ? "SIGTERM"
         : event == SIGHUP  ? "SIGHUP"
                            : "its odlctl ended";
}

unique_fd boot_timer(boot_time at) {
  unique_fd timer(timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC));
  const auto since_boot = at.time_since_epoch();
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
  itimerspec when{};
  when.it_value = {static_cast<time_t>(whole.count()),
                   static_cast<long>((since_boot - whole).count())};
  timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &when, nullptr);
  return timer;
}

bool wait_until(boot_time until, const std::vector<pollfd>& fds) {
  // A timer on the boot clock: a deadline passed while the phone slept ends
  // the wait as it wakes.
  const unique_fd timer = boot_timer(until);
  std::vector<pollfd> watched = {{signals().get(), POLLIN, 0}, {control, POLLIN, 0}};
  watched.push_back({timer.get(), POLLIN, 0});
  watched.insert(watched.end(), fds.begin(), fds.end());
  // poll's own timeout, on the monotonic clock, where the timer could not be made.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - boot_clock::now());
  const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
  const bool woken = poll(watched.data(), watched.size(), timeout) > 0;
  // A signal first, then the controller's word: each read once.
  return !(woken && (ended(watched[0]) || ended(watched[1])));
}
