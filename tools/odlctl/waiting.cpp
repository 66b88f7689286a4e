#include "tools/odlctl/waiting.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The descriptor the ending signals arrive at; -1 until they are caught.
int signals = -1;

}  // namespace

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
  signals = signalfd(-1, &ends, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals < 0) {
    // Without a descriptor to take them at, the signals act as they would.
    sigprocmask(SIG_UNBLOCK, &ends, nullptr);
  }
}

const char* signal_name(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

woken wait_until(steady::time_point until, const std::vector<int>& fds) {
  std::vector<pollfd> watched;
  for (const int fd : fds) {
    watched.push_back({fd, POLLIN, 0});
  }
  if (signals >= 0) {
    watched.push_back({signals, POLLIN, 0});
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now());
  const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1000000));
  woken result;
  if (poll(watched.data(), watched.size(), timeout) <= 0) {
    return result;
  }
  signalfd_siginfo info{};
  if (signals >= 0 && watched.back().revents != 0 &&
      read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    result.signal = static_cast<int>(info.ssi_signo);
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    if (watched[i].revents != 0) {
      result.fd = fds[i];
      break;
    }
  }
  return result;
}

process_ends::process_ends(const std::vector<pid_t>& pids) {
  for (const pid_t pid : pids) {
    // By the system call: the C library's declaration is not in every version's headers.
    unique_fd end(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (end.ok()) {
      owned_.push_back(std::move(end));
    }
  }
}

std::vector<int> process_ends::fds() const {
  std::vector<int> fds;
  for (const unique_fd& end : owned_) {
    fds.push_back(end.get());
  }
  return fds;
}
