// start --for SECONDS: the start, then the guard that stops the capture;
// in the foreground, this odlctl prints what the guard reports.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag/sensors_paths.h"
#include "tools/odlctl/commands.h"
#include "tools/odlctl/guard.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/start_stop.h"

namespace {

using std::chrono::seconds;

// How long the guard may take beyond the capture's time and twice the stop's
// wait (once for the lock, once for the stop): the lock's patience and the
// daemon's pauses.
constexpr seconds guard_slack{45};

// Prints what the guard reports until it ends. An ending signal asks it for
// the stop now; one during the stop's wait leaves at once.
int follow(const guard_link& link, pid_t guard, const std::string& capture,
           steady::time_point stop_at, steady::time_point deadline) {
  std::string text;
  int status = 1;
  bool asked = false;
  for (;;) {
    const woken w = wait_until(deadline, {link.report.get()});
    const bool stopping = asked || steady::now() >= stop_at;
    if (w.signal != 0 && !stopping) {
      asked = true;
      std::fprintf(stderr, "odlctl: %s: stopping the capture now\n", signal_name(w.signal));
      static_cast<void>(write(link.control.get(), "s", 1));
      continue;
    }
    if (w.signal != 0) {
      return fail(std::string(signal_name(w.signal)) + ": leaving; " + capture +
                  " may still be capturing until its guard (pid " + std::to_string(guard) +
                  ") has stopped it");
    }
    if (w.fd < 0) {
      return fail("the guard (pid " + std::to_string(guard) +
                  ") did not report in time: " + capture + " may still be capturing");
    }
    char chunk[512];
    const ssize_t length = read(link.report.get(), chunk, sizeof chunk);
    if (length <= 0) {
      waitpid(guard, nullptr, 0);  // it has closed its end: it has ended
      return status;
    }
    text.append(chunk, static_cast<size_t>(length));
    print_encoded(text, status);
  }
}

}  // namespace

int timed_capture(const arguments& args) {
  catch_end_signals();
  // Standard output may be gone with the shell: the capture is stopped all the same.
  signal(SIGPIPE, SIG_IGN);
  const switched start = switch_capture(args, true);
  if (!start.written) {
    return start.outcome.done ? print(start.outcome)
                              : fail(std::string(signal_name(start.signal)) + ": nothing written");
  }
  print(start.outcome);
  const own_capture own{start.outcome.capture, args.packets, start.written_at};
  if (start.signal != 0 || start.outcome.status != 0) {
    // Written but not seen: the stop too, so that a start the daemon reads
    // late begins no capture that nobody ends.
    if (start.signal != 0) {
      std::fprintf(stderr, "odlctl: %s: stopping the capture now\n", signal_name(start.signal));
    }
    int signal = 0;
    const verdict stopped = timed_stop(args, own, signal);
    if (signal != 0) {
      return fail(std::string(signal_name(signal)) + ": leaving; a capture may still be running");
    }
    print(stopped);
    return 1;
  }
  const seconds length{args.for_s};
  const steady::time_point stop_at = steady::now() + length;
  const wall_time stop_at_wall = std::chrono::system_clock::now() + length;
  const std::string capture = args.root + sensors_directory + "/" + own.name;
  guard_link link;
  const pid_t guard =
      start_guard(args, own, stop_at, stop_at_wall, args.background ? nullptr : &link);
  if (guard < 0) {
    const std::string why = std::strerror(errno);
    fail("cannot start the guard: " + why + ": stopping the capture now");
    int signal = 0;
    print(timed_stop(args, own, signal));
    return 1;
  }
  if (args.background) {
    std::printf("stops at %s (in %ld s): guard pid %d\n", local_clock(stop_at_wall).c_str(),
                args.for_s, guard);
    return 0;
  }
  const steady::time_point deadline = stop_at + 2 * seconds(args.wait_s) + guard_slack;
  return follow(link, guard, capture, stop_at, deadline);
}
