// The guard of a timed capture: a process of odlctl's own, in a session of its
// own, named "odlctl-guard", holding no descriptor of its controller's but the
// control pipe (and, in the foreground, the standard streams, where it says
// what it does). It writes the capture's stop when the time is up (on the
// boot clock, which goes on while the phone sleeps), at once when its
// controller asks or ends first (the control pipe's end tells it, SIGKILL
// included), or when SIGINT, SIGTERM or SIGHUP reach it; it writes nothing
// when another controller stopped the capture or started another. It waits
// for the command file's lock as long as it takes. It records itself in the
// sensors directory ("odlctl_guard_PID": the capture and the stop's time) for
// status, and removes the records that dead guards left.
//
// The controller learns the outcome from the guard's exit status; a guard
// that ends without one leaves the stop to the controller, which writes it.
#include <android-base/file.h>
#include <android-base/stringprintf.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "interfaces/odl_protocol.h"
#include "odlctl/commands.h"
#include "odlctl/watch.h"

using android::base::StringPrintf;
using android::base::unique_fd;

namespace {

using namespace std::chrono_literals;

// How long a controller follows its guard beyond the capture's time and
// twice the stop's wait (once for the lock, once for the stop).
constexpr auto guard_slack = 45s;
// How long a controller waits for its new guard to have recorded itself.
constexpr auto record_patience = 5s;

// The pipes between a controller and its guard, one end each: the controller
// asks for the stop now (or ends) on `control`; the guard closes `ready` once
// it has recorded itself, and writes what it says into `out` and `err`.
struct guard_link {
  unique_fd control;
  unique_fd ready;
  unique_fd out;
  unique_fd err;
};

// The command line's memory, [begin, end).
char* command_line_begin = nullptr;
char* command_line_end = nullptr;

bool readable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return fd >= 0 && poll(&ready, 1, 0) > 0;
}

// Becomes the guard: its own session and name, no descriptor but the
// standard streams and `keep`.
void become_guard(std::vector<int> keep) {
  setsid();
  prctl(PR_SET_NAME, guard_process_name);
  const auto room = static_cast<size_t>(command_line_end - command_line_begin);
  if (room > std::strlen(guard_process_name)) {
    std::memset(command_line_begin, 0, room);
    std::memcpy(command_line_begin, guard_process_name, std::strlen(guard_process_name) + 1);
  }
  keep.push_back(caught_signals());
  std::sort(keep.begin(), keep.end());
  unsigned int from = 3;
  for (const int fd : keep) {
    const auto number = static_cast<unsigned int>(fd);
    if (fd >= 0 && number > from) close_range(from, number - 1, 0);
    from = fd >= 0 ? std::max(from, number + 1) : from;
  }
  close_range(from, ~0U, 0);
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
}

// Waits for the time of the stop, the controller's word or end, or an ending
// signal, looking into every change of the command file. The exit status when
// another controller's command ended the guard's business; none when the
// stop is its own to write.
std::optional<int> wait_for_the_stop(const arguments& args, const own_capture& own, int sensors,
                                     boot_time stop_at, int control, unique_fd& ready) {
  const unique_fd changes(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // The command file in the sensors directory as opened, whatever its path leads to now.
  const char* name = std::strrchr(odl::command_file, '/') + 1;
  const std::string command = StringPrintf("/proc/self/fd/%d/%s", sensors, name);
  inotify_add_watch(changes.get(), command.c_str(), IN_MODIFY | IN_DONT_FOLLOW);
  const auto decide = [&own](const snapshot& s, bool settled) {
    return decide_timed_stop(s, own, settled);
  };
  bool first = true;
  for (;;) {
    int signal = 0;
    const auto changed = watch(stop_at, 0ms, {changes.get(), control}, signal, [&](bool last) {
      char events[4096];
      // The first look comes before any event: a command written before the watch was set.
      bool drained = std::exchange(first, false);
      while (read(changes.get(), events, sizeof events) > 0) drained = true;
      const bool now = last || readable(control);
      return now || drained ? std::optional(!now) : std::nullopt;
    });
    snapshot seen;
    const std::optional<answer> a = signal == 0 && changed.value_or(false)
                                        ? decide_settled(args, seen, signal, decide)
                                        : std::nullopt;
    // Ready once it has looked: from then on it sleeps until something changes.
    ready.reset();
    if (!a) return std::nullopt;
    if (a->what != finding::go) return print(say(seen, *a, own.name));
  }
}

[[noreturn]] void run_guard(const arguments& args, const own_capture& own, boot_time stop_at,
                            wall_time stop_wall, guard_link& ends) {
  become_guard({ends.control.get(), ends.ready.get(), ends.out.get(), ends.err.get()});
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  const std::string path = args.root + odl::sensors_directory + "/" + own.name;
  // The records of guards that were killed before they could remove their own.
  const snapshot s = read_device(args.root, read_processes | read_guards);
  for (const guard_record& g : s.guards) {
    if (!g.runs && !s.blind.hidden) unlinkat(sensors.get(), guard_record_name(g.pid).c_str(), 0);
  }
  const std::string name = guard_record_name(getpid());
  const auto stop_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(stop_wall.time_since_epoch());
  const std::string line =
      StringPrintf("%s %lld\n", own.name.c_str(), static_cast<long long>(stop_seconds.count()));
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  const unique_fd record(openat(sensors.get(), name.c_str(), flags, 0644));
  const bool recorded = record.ok() && android::base::WriteStringToFd(line, record.get());
  const int record_error = errno;
  if (!recorded) {
    if (record.ok()) unlinkat(sensors.get(), name.c_str(), 0);  // nothing half written stays
    fail(StringPrintf("warning: cannot record the guard in %s%s/%s: %s: status will not show it",
                      args.root.c_str(), odl::sensors_directory, name.c_str(),
                      std::strerror(record_error)));
  }
  // Its controller's standard streams are none of its business: what it says goes to its
  // controller through the pipes, or nowhere in the background.
  const unique_fd nowhere(open("/dev/null", O_RDWR | O_CLOEXEC));
  dup2(nowhere.get(), 0);
  dup2(args.background ? nowhere.get() : ends.out.get(), 1);
  dup2(args.background ? nowhere.get() : ends.err.get(), 2);
  std::optional<int> status =
      wait_for_the_stop(args, own, sensors.get(), stop_at, ends.control.get(), ends.ready);
  if (!status) {
    const switched stop = switch_capture(args, {false, own.packets, &own, true});
    const std::string cut =
        StringPrintf(stop.written ? "the stop's wait cut short: %s may still be capturing"
                                  : "nothing written: %s goes on capturing",
                     path.c_str());
    const std::string why = signal_name(stop.signal) + ": " + cut;
    status = stop.signal != 0 ? fail(why) : print(stop.outcome);
  }
  if (recorded) unlinkat(sensors.get(), name.c_str(), 0);
  _exit(*status);
}

// The controller's own stop, when no guard stops the capture.
int stop_it_now(const arguments& args, const own_capture& own) {
  const switched stop = switch_capture(args, {false, own.packets, &own, false});
  const std::string leaving =
      signal_name(stop.signal) + ": leaving; a capture may still be running";
  return stop.signal != 0 ? fail(leaving) : print(stop.outcome);
}

// Copies what `from` holds to `to`.
void relay(int from, FILE* to) {
  char chunk[512];
  for (ssize_t length = 0; (length = read(from, chunk, sizeof chunk)) > 0;) {
    static_cast<void>(std::fwrite(chunk, 1, static_cast<size_t>(length), to));
  }
  static_cast<void>(std::fflush(to));
}

// Waits for the guard's end, passing on what it says. An ending signal asks
// it for the stop now; one after that leaves.
int follow(const arguments& args, const own_capture& own, pid_t guard, const guard_link& ends,
           boot_time stop_at) {
  const std::string path = args.root + odl::sensors_directory + "/" + own.name;
  const unique_fd end(static_cast<int>(syscall(SYS_pidfd_open, guard, 0)));
  const boot_time deadline = stop_at + 2 * std::chrono::seconds(args.wait_s) + guard_slack;
  int how = 0;
  const auto reaped = [&](bool last) {
    const bool gone = waitpid(guard, &how, WNOHANG) == guard;
    relay(ends.out.get(), stdout);
    relay(ends.err.get(), stderr);
    return gone || last ? std::optional(gone) : std::nullopt;
  };
  for (bool asked = false;;) {
    int signal = 0;
    const std::vector<int> changes = {end.get(), ends.out.get(), ends.err.get()};
    const bool ended = watch(deadline, 1s, changes, signal, reaped).value_or(false);
    if (signal != 0 && !std::exchange(asked, true) && boot_clock::now() < stop_at) {
      print({0, "", signal_name(signal) + ": stopping the capture now"});
      static_cast<void>(write(ends.control.get(), "s", 1));
    } else if (!ended) {
      const std::string why =
          signal != 0 ? signal_name(signal) + ": leaving" : "it has not ended in time";
      return fail(
          StringPrintf("%s; %s may still be capturing until its guard (pid %d) has stopped it",
                       why.c_str(), path.c_str(), guard));
    } else if (WIFEXITED(how)) {
      return WEXITSTATUS(how);
    } else {
      break;
    }
  }
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  unlinkat(sensors.get(), guard_record_name(guard).c_str(), 0);
  print({0, "",
         StringPrintf("the guard (pid %d) ended without stopping %s (%s): stopping it now", guard,
                      path.c_str(), strsignal(WTERMSIG(how)))});
  return stop_it_now(args, own);
}

}  // namespace

void keep_command_line(int argc, char** argv) {
  if (argc > 0) {
    command_line_begin = argv[0];
    command_line_end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
  }
}

int timed_capture(const arguments& args) {
  catch_end_signals();
  // Standard output may be gone with the shell: the capture is stopped all the same.
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
  const switched start = switch_capture(args, {true, args.packets, nullptr, false});
  if (!start.written) {
    return start.signal != 0 ? fail(signal_name(start.signal) + ": nothing written")
                             : print(start.outcome);
  }
  print(start.outcome);
  const own_capture own{start.capture, args.packets, start.written_at};
  const bool begun = start.what == finding::started || start.what == finding::started_growing ||
                     start.what == finding::appeared_unknown;
  if (start.signal != 0 || !begun) {
    // Written but not seen: the stop too, so that a start the daemon reads
    // late begins no capture that nobody ends.
    if (start.signal != 0) print({0, "", signal_name(start.signal) + ": stopping the capture now"});
    stop_it_now(args, own);
    return 1;
  }
  const std::chrono::seconds length{args.for_s};
  const boot_time stop_at = boot_clock::now() + length;
  const wall_time stop_wall = std::chrono::system_clock::now() + length;
  guard_link mine;
  guard_link its;
  const int reading = O_CLOEXEC | O_NONBLOCK;
  const bool piped = android::base::Pipe(&mine.ready, &its.ready) &&
                     (args.background || (android::base::Pipe(&its.control, &mine.control) &&
                                          android::base::Pipe(&mine.out, &its.out, reading) &&
                                          android::base::Pipe(&mine.err, &its.err, reading)));
  const pid_t guard = piped ? fork() : -1;
  if (guard == 0) run_guard(args, own, stop_at, stop_wall, its);
  if (guard < 0) {
    fail(std::string("cannot start the guard: ") + std::strerror(errno) +
         ": stopping the capture now");
    stop_it_now(args, own);
    return 1;
  }
  its = guard_link();
  // So that status shows the guard as soon as this returns.
  int signal = 0;
  watch(boot_clock::now() + record_patience, 0ms, {mine.ready.get()}, signal, [&](bool last) {
    return last || readable(mine.ready.get()) ? std::optional(true) : std::nullopt;
  });
  if (!args.background) return follow(args, own, guard, mine, stop_at);
  std::printf("stops at %s (in %u s): guard pid %d\n",
              clock_text(stop_wall, std::chrono::system_clock::now()).c_str(), args.for_s, guard);
  return 0;
}
