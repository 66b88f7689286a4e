#include "tools/odlctl/start_stop.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "diag/odl_commands.h"
#include "tools/odlctl/captures.h"
#include "tools/odlctl/control.h"
#include "tools/odlctl/flush_status.h"

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

// The shortest wait in which a stop can be seen: the daemon's kill, the
// capture tool's last write (once a second) and then `settled` without change.
constexpr std::chrono::seconds stop_wait_floor{5};
// How long a writer waits, beyond its own wait, for another odlctl's command
// to be seen.
constexpr std::chrono::seconds lock_patience{20};

std::string variant(bool packets) { return packets ? " --packets" : ""; }

bool among(const std::vector<capture>& captures, const std::string& path) {
  for (const capture& c : captures) {
    if (c.path == path) {
      return true;
    }
  }
  return false;
}

// Waits for a capture directory that is not among `before`, then for the
// capture tool's first file in it.
int wait_started(const std::string& prefix, const std::vector<capture>& before, bool after_start,
                 steady_clock::time_point deadline) {
  std::string empty;
  while (steady_clock::now() < deadline) {
    const capture_listing listing = list_captures(prefix);
    if (!listing.error.empty()) {
      return fail("start written, but " + listing.error + ": its effect cannot be seen");
    }
    for (const capture& c : listing.captures) {
      if (among(before, c.path)) {
        continue;
      }
      if (c.error != 0) {
        return fail("start written; " + c.path +
                    " appeared, but cannot read it: " + std::strerror(c.error));
      }
      if (c.files > 0) {
        std::printf("started: %s\n", c.path.c_str());
        return 0;
      }
      empty = c.path;
    }
    std::this_thread::sleep_for(100ms);
  }
  if (!empty.empty()) {
    return fail(empty + " appeared but stays empty: the capture tool writes nothing into it");
  }
  return fail(std::string("no new capture directory appeared") +
              (after_start
                   ? ": after a start it carried out, the daemon starts nothing before a stop"
                   : ""));
}

// Waits until no capture directory has changed for a while.
int wait_stopped(const std::string& prefix, steady_clock::time_point deadline) {
  capture_listing seen = list_captures(prefix);
  for (auto quiet_since = steady_clock::now();;) {
    if (const std::string error = unreadable(seen); !error.empty()) {
      return fail("stop written, but " + error + ": whether the captures stopped is unknown");
    }
    if (steady_clock::now() - quiet_since >= settled) {
      std::printf("stopped: no capture directory grows\n");
      return 0;
    }
    if (steady_clock::now() >= deadline) {
      return fail("capture directories still growing");
    }
    std::this_thread::sleep_for(100ms);
    capture_listing now = list_captures(prefix);
    if (!changed_since(seen.captures, now.captures).empty()) {
      quiet_since = steady_clock::now();
    }
    seen = std::move(now);
  }
}

}  // namespace

int start_or_stop(const arguments& args, bool& written) {
  written = false;
  const bool start = args.command == "start";
  const std::string prefix = under(args.root, capture_directory_prefix);
  const std::string cfg = under(args.root, diag_cfg_path);
  command_file file;
  if (const std::string error = file.open(under(args.root, odl_command_file), true);
      !error.empty()) {
    return fail(error);
  }
  if (start && access(cfg.c_str(), F_OK) != 0) {
    return fail("no capture configuration " + cfg + ": the daemon starts no capture without it");
  }
  unique_fd writer;
  if (const pipe_state pipe = probe_flush_pipe(under(args.root, flush_pipe_path), writer);
      pipe != pipe_state::served && pipe != pipe_state::not_permitted) {
    std::fprintf(stderr, "odlctl: warning: flush pipe %s, the daemon may not be running\n",
                 describe(pipe).c_str());
  }
  std::chrono::seconds wait{args.wait_s};
  if (!start && args.wait_s > 0 && wait < stop_wait_floor) {
    std::fprintf(stderr,
                 "odlctl: --wait %ld stretched to %lld s: a stop is seen only once no capture "
                 "changed for 2.5 s\n",
                 args.wait_s, static_cast<long long>(stop_wait_floor.count()));
    wait = stop_wait_floor;
  }
  if (!file.lock(steady_clock::now() + wait + lock_patience)) {
    return fail("another odlctl is still writing the command file: gave up waiting for it");
  }
  const auto [last, last_option] = file.command();
  const bool last_packets = last_option == packets_option;
  const capture_listing before = list_captures(prefix);
  // A repeated command is refused only when what it asks for holds already.
  if (last == (start ? "star" : "stop")) {
    std::this_thread::sleep_for(growth_window);
    const capture_listing later = list_captures(prefix);
    const std::string already =
        "the last command was " + args.command + variant(last_packets) + " already";
    if (const std::string error = unreadable(later); !error.empty()) {
      return fail(already + ", and " + error + ": whether a capture runs is unknown");
    }
    const std::vector<std::string> growing = changed_since(before.captures, later.captures);
    if (start && !growing.empty()) {
      return fail(already + " and " + growing.front() +
                  " grows: the daemon does nothing on a repeated command");
    }
    if (!start && growing.empty()) {
      return fail(already +
                  " and no capture directory grows: the daemon does nothing on a repeated command");
    }
  }
  if (!start && last == "star" && last_packets != args.packets) {
    std::fprintf(stderr,
                 "odlctl: warning: the capture was started %s --packets: this stop ends only the "
                 "captures %s it\n",
                 args.packets ? "without" : "with", args.packets ? "with" : "without");
  }
  if (const std::string error = file.write(start ? "star" : "stop", args.packets); !error.empty()) {
    return fail(error);
  }
  written = true;
  if (args.wait_s == 0) {
    std::printf("%s written\n", args.command.c_str());
    return 0;
  }
  const auto deadline = steady_clock::now() + wait;
  return start ? wait_started(prefix, before.captures, last == "star", deadline)
               : wait_stopped(prefix, deadline);
}

int timed_capture(const arguments& args) {
  // Blocked before the start: one that comes meanwhile ends the wait at once.
  // A signal ignored from the outset (nohup) stays ignored.
  sigset_t ends;
  sigemptyset(&ends);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&ends, sig);
    }
  }
  sigprocmask(SIG_BLOCK, &ends, nullptr);
  // Standard output may be gone with the shell: the stop comes all the same.
  signal(SIGPIPE, SIG_IGN);
  bool written = false;
  const int started = start_or_stop(args, written);
  if (!written) {
    return started;
  }
  const auto until = steady_clock::now() + std::chrono::seconds(args.for_s);
  int ended_by = 0;
  while (started == 0 && ended_by <= 0 && steady_clock::now() < until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(until - steady_clock::now()).count();
    const timespec timeout{static_cast<time_t>(left / 1000000000),
                           static_cast<long>(left % 1000000000)};
    ended_by = sigtimedwait(&ends, nullptr, &timeout);
  }
  if (ended_by > 0) {
    std::fprintf(stderr, "odlctl: %s: stopping the capture now\n",
                 ended_by == SIGINT    ? "SIGINT"
                 : ended_by == SIGTERM ? "SIGTERM"
                                       : "SIGHUP");
  }
  arguments stop = args;
  stop.command = "stop";
  const int stopped = start_or_stop(stop, written);
  return started == 0 ? stopped : started;
}
