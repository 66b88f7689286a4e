// A timed capture is its guard's from before its start is written: odlctl
// forks the guard first, a process in a session of its own, named
// "odlctl-guard", holding none of its controller's descriptors but the
// command file (one open file, so one lock, for both) and two pipes. The
// guard takes the lock, writes the start and watches for it, then writes the
// stop when the time is up (on the boot clock, which goes on while the phone
// sleeps), or at once on an ending signal, its controller's word, or its
// controller's end before the start is handed over (the control pipe's end
// tells it, SIGKILL included). A command in the command file that it did not
// write is another controller's: it then writes nothing. It holds its capture
// directory and a timer of its stop open, which tell status what it guards.
//
// The controller is a window on its guard: it relays the guard's report
// lines ("o TEXT", "e TEXT"; "i WORD" before and "w WORD NS" after each
// command written, NS its modification time; "s NAME NS" once the start is
// seen, NS the stop's time on the boot clock; "." while it waits for the
// lock), passes its ending signals on as bytes of the control pipe, and takes
// the guard's exit status. A guard that dies, or that is silent once its stop
// is due by more than the daemon's pauses and the wait, leaves the stop to
// its controller.
#include <android-base/parseint.h>
#include <android-base/stringprintf.h>
#include <android-base/strings.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "odlctl/commands.h"
#include "odlctl/watch.h"

using android::base::StringPrintf;
using android::base::unique_fd;

namespace {

using namespace std::chrono_literals;

// How long a guard's start may take before its controller takes it for
// silent, beyond twice the wait: its lock's patience and the daemon's pauses.
constexpr auto start_slack = 60s;

// The memory of the command line and of the environment after it, [begin, end).
char* title_begin = nullptr;
char* title_end = nullptr;

std::string word_of(const odl::command& c) {
  return c.what == odl::action::start ? "start" : "stop";
}

// Writes the title over the command line, and the environment copied first: `ps`
// shows the guard by its name.
void set_title(const std::string& title) {
  const auto room = static_cast<size_t>(title_end - title_begin);
  if (title.size() >= room) return;
  static std::vector<char*> copy;
  for (char** e = environ; *e != nullptr; ++e) copy.push_back(strdup(*e));
  copy.push_back(nullptr);
  environ = copy.data();
  std::fill(title_begin, title_end, '\0');
  std::copy(title.begin(), title.end(), title_begin);
}

// Its own session and name, no descriptor but `keep` and the ending
// signals', nothing of its controller's terminal.
void become_guard(std::vector<int> keep) {
  setsid();
  prctl(PR_SET_NAME, guard_process_name);
  set_title(guard_process_name);
  keep.push_back(caught_signals());
  std::sort(keep.begin(), keep.end());
  unsigned int from = 3;
  for (const int fd : keep) {
    if (fd >= static_cast<int>(from)) close_range(from, static_cast<unsigned int>(fd) - 1, 0);
    from = std::max(from, static_cast<unsigned int>(fd + 1));
  }
  close_range(from, ~0U, 0);
  const unique_fd nowhere(open("/dev/null", O_RDWR | O_CLOEXEC));
  for (const int standard : {0, 1, 2}) dup2(nowhere.get(), standard);
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
}

// Waits until the stop is due, an ending event comes or another controller
// writes a command, looking at every change of the command file. The exit
// status when another controller's command ended the guard's business; none
// when the stop is its own to write.
std::optional<int> wait_for_the_stop(const arguments& args, const own_capture& own,
                                     boot_time stop_at) {
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  const unique_fd changes(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // The command file in the sensors directory as opened, whatever its path leads to now.
  const std::string file(odl::command_file_name);
  const std::string watched = StringPrintf("/proc/self/fd/%d/%s", sensors.get(), file.c_str());
  inotify_add_watch(changes.get(), watched.c_str(), IN_MODIFY | IN_DONT_FOLLOW);
  std::optional<int> other;
  watch(stop_at, 0ms, {{changes.get(), POLLIN, 0}}, [&](bool last) -> std::optional<bool> {
    char events[4096];
    while (read(changes.get(), events, sizeof events) > 0) {
    }
    look seen;
    seen.sensors = args.root + odl::sensors_directory;
    seen.command = read_command(args.root);
    const answer a = decide_timed_stop(seen.command, own);
    if (a.what != finding::go) other = print(say(seen, a, own.name));
    return last || other ? std::optional(true) : std::nullopt;
  });
  return other;
}

// The descriptors of a guard or of its controller: the command file, shared,
// and its end of the control pipe and of the report pipe.
struct guard_ends {
  int file = -1;
  int control = -1;
  int report = -1;
};

[[noreturn]] void run_guard(const arguments& args, const guard_ends& ends) {
  const int file = ends.file;
  become_guard({file, ends.control, ends.report});
  listen_to_controller(ends.control);
  report_into(ends.report);
  own_capture own{"", args.packets, {}};
  const auto on_write = [&own](const command_record& w, bool done) {
    const long long at = std::chrono::nanoseconds(w.written.time_since_epoch()).count();
    if (done) own.writes.push_back(w);
    report(done ? StringPrintf("w %s %lld", word_of(w.command).c_str(), at)
                : "i " + word_of(w.command));
  };
  const request starting{.command = {odl::action::start, args.packets}, .file = file};
  const switched start = switch_capture(args, starting, on_write);
  if (!start.written) {
    _exit(start.cut ? fail(ending_name(last_ending()) + ": nothing written")
                    : print(start.outcome));
  }
  own.name = start.capture;
  const finding seen = start.what;
  const bool begun = !start.cut && (seen == finding::started || seen == finding::started_growing ||
                                    seen == finding::appeared_unknown);
  // Written but not seen, the start is stopped too: a start the daemon reads
  // late begins no capture that nobody ends.
  print(start.outcome);
  std::optional<int> status;
  if (begun) {
    const boot_time stop_at = boot_clock::now() + std::chrono::seconds(args.for_s);
    // What status knows a guard by: its capture directory and the timer of its
    // stop, held open for as long as it waits.
    std::string error;
    const unique_fd sensors = open_sensors(args.root, error);
    const unique_fd held(
        openat(sensors.get(), own.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const unique_fd timer = boot_timer(stop_at);
    report(StringPrintf("s %s %lld", own.name.c_str(),
                        static_cast<long long>(stop_at.time_since_epoch().count())));
    status = wait_for_the_stop(args, own, stop_at);
  }
  if (!status && last_ending() != 0) {
    fail(ending_name(last_ending()) + ": stopping the capture now");
  }
  if (!status) {
    const request stopping{
        .command = {odl::action::stop, args.packets}, .own = &own, .file = file, .patient = true};
    const switched stop = switch_capture(args, stopping, on_write);
    status = stop.cut
                 ? fail(ending_name(last_ending()) + ": the stop's wait cut short: " + args.root +
                        odl::sensors_directory + "/" + own.name + " may still be capturing")
                 : print(stop.outcome);
  }
  _exit(begun ? *status : 1);
}

// What the controller knows of its guard, from its report lines, and what
// waits to be printed.
struct followed {
  pid_t pid = 0;
  own_capture own{};
  std::optional<odl::command> intent{};  // a command it was about to write
  std::optional<boot_time> stop_at{};
  boot_time heard{};  // its last report line
  bool stop_written = false;
  std::string out{};  // what waits to be printed on standard output, and error
  std::string err{};
  std::string partial{};  // the report's last line, while it is not whole

  void take(const std::string& line) {
    const std::vector<std::string> f = android::base::Split(line, " ");
    long long ns = 0;
    heard = boot_clock::now();
    out += f[0] == "o" ? line.substr(2) + "\n" : "";
    err += f[0] == "e" ? "odlctl: " + line.substr(2) + "\n" : "";
    const bool timed = f.size() == 3 && android::base::ParseInt(f[2], &ns);
    if (f[0] == "i" && f.size() == 2) {
      intent = odl::command{f[1] == "start" ? odl::action::start : odl::action::stop, own.packets};
    }
    if (f[0] == "w" && timed && intent) {
      own.writes.push_back({"", *intent, wall_time(std::chrono::nanoseconds(ns))});
      stop_written = stop_written || f[1] == "stop";
      intent.reset();
    }
    if (f[0] == "s" && timed) {
      own.name = f[1];
      stop_at = boot_time(std::chrono::nanoseconds(ns));
    }
  }
  // Takes what the guard reported; prints what the output takes without
  // blocking, so that an output that blocks keeps no signal out.
  void relay(int report_fd) {
    char chunk[512];
    for (ssize_t length = 0; (length = read(report_fd, chunk, sizeof chunk)) > 0;) {
      partial.append(chunk, static_cast<size_t>(length));
    }
    for (size_t end = 0; (end = partial.find('\n')) != std::string::npos;
         partial.erase(0, end + 1)) {
      take(partial.substr(0, end));
    }
    for (const auto& [fd, text] : {std::pair(1, &out), std::pair(2, &err)}) {
      pollfd ready{fd, POLLOUT, 0};
      const size_t most = std::min<size_t>(text->size(), PIPE_BUF);
      const ssize_t put = most > 0 && poll(&ready, 1, 0) > 0 ? write(fd, text->data(), most) : 0;
      // An output that is gone or full (EPIPE, ENOSPC) takes nothing more.
      const size_t written = static_cast<size_t>(std::max<ssize_t>(put, 0));
      text->erase(0, put < 0 && errno != EAGAIN ? text->size() : written);
    }
  }
  std::vector<pollfd> waits(int report_fd) const {
    return {{report_fd, POLLIN, 0},
            {out.empty() ? -1 : 1, POLLOUT, 0},
            {err.empty() ? -1 : 2, POLLOUT, 0}};
  }
  // Prints the rest, for as long as the output takes it (5 s at most).
  void drain() {
    watch(boot_clock::now() + 5s, 0ms, waits(-1), [this](bool last) {
      relay(-1);
      return last || (out.empty() && err.empty()) ? std::optional(true) : std::nullopt;
    });
  }
};

// The controller's own stop of its guard's capture, the guard being gone or
// silent (`how`).
int take_over(const arguments& args, followed& g, int file, const std::string& how) {
  g.drain();
  const std::string dir =
      g.own.name.empty() ? "its capture" : args.root + odl::sensors_directory + "/" + g.own.name;
  const std::string guard = StringPrintf("the guard (pid %d) %s", g.pid, how.c_str());
  // A command it was about to write is its own when the command file holds it.
  const command_record last = read_command(args.root);
  if (g.intent && last.command.what == g.intent->what) {
    g.own.writes.push_back(last);
    g.stop_written = g.stop_written || last.command.what == odl::action::stop;
  }
  if (g.stop_written) {
    return fail(guard + " after it wrote the stop of " + dir +
                ": whether its capture tools ended was not seen");
  }
  if (g.own.writes.empty()) return fail(guard + " before it wrote the start: nothing written");
  fail(guard + ", without stopping " + dir + ": stopping it now");
  const request stopping{.command = {odl::action::stop, args.packets}, .own = &g.own, .file = file};
  const switched stop = switch_capture(args, stopping);
  return stop.cut ? fail(ending_name(last_ending()) + ": leaving; a capture may still be running")
                  : print(stop.outcome);
}

// Follows the guard to its end, passing on what it says and the first ending
// signal; the next one leaves. With --background it returns once the start
// is handed over.
int follow(const arguments& args, followed& g, const guard_ends& ends) {
  const int report_fd = ends.report;
  const unique_fd end(static_cast<int>(syscall(SYS_pidfd_open, g.pid, 0)));
  const boot_time began = boot_clock::now();
  const auto wait =
      std::chrono::seconds(args.wait_s) + odl::pause_after_start + odl::pause_after_stop;
  bool passed = false;
  for (int how = 0;;) {
    bool gone = false;
    const bool handed = g.stop_at.has_value();
    const boot_time heard = g.heard;
    // Silence is measured from its last word, once the stop is due.
    const boot_time silent_at =
        handed ? std::max(*g.stop_at, heard) + wait : began + 2 * wait + start_slack;
    std::vector<pollfd> changes = g.waits(report_fd);
    changes.push_back({end.get(), POLLIN, 0});
    const std::optional<bool> news =
        watch(silent_at, 0ms, changes, [&](bool last) -> std::optional<bool> {
          g.relay(report_fd);
          gone = waitpid(g.pid, &how, WNOHANG) == g.pid;
          if (gone) g.relay(report_fd);
          const bool changed = gone || (args.background && handed && !passed) ||
                               g.stop_at.has_value() != handed || (handed && g.heard != heard);
          return changed || last ? std::optional(changed) : std::nullopt;
        });
    const bool handover = news && args.background && handed && !passed;
    if (!news && std::exchange(passed, true)) {
      return fail(StringPrintf(
          "%s: leaving; %s%s/%s may still be capturing until its guard (pid %d) has stopped it",
          ending_name(last_ending()).c_str(), args.root.c_str(), odl::sensors_directory,
          g.own.name.c_str(), g.pid));
    }
    if (gone && WIFEXITED(how)) {
      g.drain();
      return WEXITSTATUS(how);
    }
    if (gone || (news && !*news)) {
      const std::string why = gone     ? StringPrintf("ended (%s)", strsignal(WTERMSIG(how)))
                              : handed ? "is silent past its stop's time"
                                       : "is silent past the start's time";
      return take_over(args, g, ends.file, why);
    }
    if (handover) {
      const wall_time now = std::chrono::system_clock::now();
      const wall_time stop_wall = now + (*g.stop_at - boot_clock::now());
      g.out += StringPrintf("stops at %s (in %u s): guard pid %d\n",
                            clock_text(stop_wall, now).c_str(), args.for_s, g.pid);
      g.drain();
      // An ending signal up to the handover stops the capture.
      passed = ending_pending();
    }
    const char word = handover && !passed ? detach_byte : static_cast<char>(last_ending());
    if (!news || handover) static_cast<void>(write(ends.control, &word, 1));
    if (handover && !passed) return 0;
  }
}

}  // namespace

void keep_command_line(int argc, char** argv) {
  title_begin = argv[0];
  title_end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
  // The environment's strings that follow it are room for a title too.
  for (char** e = environ; *e != nullptr && *e == title_end; ++e) {
    title_end = *e + std::strlen(*e) + 1;
  }
}

int timed_capture(const arguments& args) {
  catch_end_signals();
  // Standard output may be gone with the shell: the capture is stopped all the same.
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  unique_fd file;
  if (sensors.ok()) error = open_command_file(sensors.get(), args.root, O_RDWR, file);
  if (!error.empty()) return fail(error);
  unique_fd control_in;
  unique_fd control_out;
  unique_fd report_in;
  unique_fd report_out;
  followed g{.own = {"", args.packets, {}}};
  g.pid = android::base::Pipe(&control_in, &control_out) &&
                  android::base::Pipe(&report_in, &report_out, O_CLOEXEC | O_NONBLOCK)
              ? fork()
              : -1;
  if (g.pid == 0) run_guard(args, {file.get(), control_in.get(), report_out.get()});
  if (g.pid < 0) return fail(std::string("cannot start the guard: ") + std::strerror(errno));
  control_in.reset();
  report_out.reset();
  return follow(args, g, {file.get(), control_out.get(), report_in.get()});
}
