#include "tools/odlctl/guard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "diag/sensors_paths.h"
#include "tools/odlctl/command_file.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/read_device.h"
#include "tools/odlctl/sensors_dir.h"
#include "tools/odlctl/start_stop.h"
#include "tools/odlctl/tree_walk.h"

namespace {

using namespace std::chrono_literals;

// The command line's memory, [begin, end).
char* command_line_begin = nullptr;
char* command_line_end = nullptr;

void show_as_guard() {
  prctl(PR_SET_NAME, guard_process_name);
  const auto room = static_cast<size_t>(command_line_end - command_line_begin);
  if (room > std::strlen(guard_process_name)) {
    std::memset(command_line_begin, 0, room);
    std::memcpy(command_line_begin, guard_process_name, std::strlen(guard_process_name));
  }
}

// The records that guards killed before they could remove their own left
// behind: those of no guard that runs (a guard's pid taken by this one's
// included).
void remove_dead_guards_records(int dir, const std::string& root) {
  const snapshot s = read_device(root, read_guards);
  std::vector<std::string> names;
  list_directory(dir, names);
  for (const std::string& name : names) {
    const bool alive = std::any_of(s.guards.begin(), s.guards.end(), [&name](const guard& g) {
      return name == guard_file_name(g.pid) && g.pid != getpid();
    });
    if (name.rfind(guard_file_prefix, 0) == 0 && !alive) {
      unlinkat(dir, name.c_str(), 0);
    }
  }
}

// The guard's record for status: "CAPTURE STOP_SECONDS\n" in a file of its
// own in the sensors directory, made anew, never through a link.
class record {
 public:
  record(const std::string& root, const own_capture& own, wall_time stop_at)
      : dir_(open_sensors(root).fd), name_(guard_file_name(getpid())) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(stop_at.time_since_epoch());
    const std::string line = own.name + " " + std::to_string(seconds.count()) + "\n";
    remove_dead_guards_records(dir_.get(), root);
    const unique_fd file(openat(dir_.get(), name_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    written_ = file.ok() &&
               write(file.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  ~record() {
    if (written_) {
      unlinkat(dir_.get(), name_.c_str(), 0);
    }
  }
  record(const record&) = delete;
  record& operator=(const record&) = delete;

 private:
  unique_fd dir_;
  std::string name_;
  bool written_ = false;
};

void report(int fd, const verdict& v) {
  const std::string text = encode(v);
  if (fd >= 0) {
    static_cast<void>(write(fd, text.data(), text.size()));
  }
}

// Whether the capture is still the guard's to stop, asked after every change
// of the command file: done when another controller ended it. Asked again
// until the daemon has had the time to read the other controller's command,
// but not past the guard's own stop; an ending signal cuts that short.
verdict still_own(const arguments& args, const own_capture& own, steady::time_point stop_at,
                  int& signal) {
  constexpr unsigned parts = read_captures | read_trees | read_processes | read_command;
  snapshot s = read_device(args.root, parts);
  const auto until = std::min(stop_at, steady::now() + pause_left(s.command, s.now) + 500ms);
  for (;;) {
    if (s.command.written == own.written || !s.command.error.empty()) {
      return {};
    }
    const verdict v = decide_timed_stop(s, own);
    if (v.done || steady::now() >= until) {
      return v;
    }
    signal = wait_until(std::min(until, steady::now() + 500ms)).signal;
    if (signal != 0) {
      return v;
    }
    s = read_device(args.root, parts);
  }
}

int run_guard(const arguments& args, const own_capture& own, steady::time_point stop_at,
              int control, int report_fd) {
  // The command file in the sensors directory as opened, whatever its path leads to now.
  const sensors_dir sensors = open_sensors(args.root);
  const std::string command_path =
      "/proc/self/fd/" + std::to_string(sensors.fd.get()) + "/" + name_in_sensors(odl_command_file);
  const unique_fd changes(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  inotify_add_watch(changes.get(), command_path.c_str(), IN_MODIFY | IN_DONT_FOLLOW);
  std::vector<int> fds{changes.get()};
  if (control >= 0) {
    fds.push_back(control);
  }
  for (;;) {
    const woken w = wait_until(stop_at, fds);
    if (w.signal != 0 || steady::now() >= stop_at || (w.fd == control && control >= 0)) {
      break;
    }
    char events[4096];
    while (read(changes.get(), events, sizeof events) > 0) {
    }
    int cut = 0;
    if (const verdict ended = still_own(args, own, stop_at, cut); ended.done) {
      report(report_fd, ended);
      return ended.status;
    }
    if (cut != 0) {
      break;
    }
  }
  int signal = 0;
  verdict stopped = timed_stop(args, own, signal);
  if (!stopped.done) {
    stopped = {true, 1, "",
               std::string(signal_name(signal)) + ": the stop's wait cut short: " + args.root +
                   sensors_directory + "/" + own.name + " may still be capturing",
               ""};
  }
  report(report_fd, stopped);
  return stopped.status;
}

}  // namespace

void keep_command_line(int argc, char** argv) {
  if (argc > 0) {
    command_line_begin = argv[0];
    command_line_end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
  }
}

pid_t start_guard(const arguments& args, const own_capture& own, steady::time_point stop_at,
                  wall_time stop_at_wall, guard_link* link) {
  int control[2] = {-1, -1};
  int reports[2] = {-1, -1};
  int recorded[2] = {-1, -1};  // its end closes once the guard has recorded itself
  if (pipe2(recorded, O_CLOEXEC) != 0 ||
      (link != nullptr && (pipe2(control, O_CLOEXEC) != 0 || pipe2(reports, O_CLOEXEC) != 0))) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid != 0) {
    close(recorded[1]);
    if (link != nullptr) {
      close(control[0]);
      close(reports[1]);
      link->control.reset(control[1]);
      link->report.reset(reports[0]);
    }
    // So that status shows the guard as soon as this returns: at most a
    // moment; the ending signals stay for the caller's waits.
    pollfd ready{recorded[0], POLLIN, 0};
    poll(&ready, 1, 5000);
    close(recorded[0]);
    return pid;
  }
  // The guard: no terminal, no standard streams of its controller's, and
  // no end of its own pipes but the ones it reads and writes.
  setsid();
  show_as_guard();
  const int nowhere = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (const int stream : {0, 1, 2}) {
    dup2(nowhere, stream);
  }
  close(nowhere);
  close(recorded[0]);
  if (link != nullptr) {
    close(control[1]);
    close(reports[0]);
  }
  signal(SIGPIPE, SIG_IGN);
  int status = 1;
  {
    const record own_record(args.root, own, stop_at_wall);
    close(recorded[1]);
    status = run_guard(args, own, stop_at, control[0], reports[1]);
  }
  _exit(status);
}
