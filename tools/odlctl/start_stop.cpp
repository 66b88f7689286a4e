#include "tools/odlctl/start_stop.h"

#include <algorithm>

#include "diag/sensors_paths.h"
#include "tools/odlctl/command_file.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/read_device.h"
#include "tools/odlctl/sensors_dir.h"
#include "tools/odlctl/waiting.h"

namespace {

using namespace std::chrono_literals;

// How long a writer waits, beyond its own wait, for another odlctl's command
// to be seen.
constexpr std::chrono::seconds lock_patience{20};
// The daemon's wake-up and its read of the command file, once its pause is over.
constexpr auto reading_time = 500ms;
// How often a decision not to write is looked at again while the daemon may
// still read the last command.
constexpr auto settle_look = 500ms;
// How often a start looks for its capture directory and its capture tool.
constexpr auto start_look = 100ms;
// How long a stop waits for the end of the capture tools it saw before it
// looks at the device again.
constexpr auto stop_look = 1s;

constexpr unsigned watched = read_captures | read_processes;

// With the trees only where growth must stand in for processes that cannot be read.
unsigned parts_after(const snapshot& last) {
  return watched | (unreadable_count(last) == 0 ? 0U : static_cast<unsigned>(read_trees));
}

std::vector<pid_t> pids_ended_by(const snapshot& s, bool packets) {
  std::vector<pid_t> pids;
  for (const capture_tool& tool : s.tools) {
    if (ended_by_stop(tool, packets)) {
      pids.push_back(tool.pid);
    }
  }
  return pids;
}

snapshot read_before(const arguments& args, const command_file& file) {
  snapshot s = read_device(args.root, watched | read_trees | read_config | read_pipe);
  s.command = file.read();
  return s;
}

// `decide` on the device before a write. A command that the daemon may not
// have read yet (it reads nothing during its pause after the command before)
// may still change the device: so a decision not to write, when the last
// command is `repeated`, stands only once the daemon has had the time to read
// it; until then the device is looked at again.
template <typename Decide>
verdict decide_settled(const arguments& args, const command_file& file, snapshot& before,
                       bool repeated, int& signal, Decide decide) {
  const auto settled_at = steady::now() + pause_left(before.command, before.now);
  for (;;) {
    const verdict v = decide(before);
    if (!v.done || !repeated || steady::now() >= settled_at) {
      return v;
    }
    signal = wait_until(std::min(settled_at, steady::now() + settle_look)).signal;
    if (signal != 0) {
      return v;
    }
    before = read_before(args, file);
  }
}

verdict watch_start(const arguments& args, const snapshot& before, steady::time_point deadline,
                    int& signal) {
  snapshot now = before;
  for (;;) {
    const bool last_look = steady::now() >= deadline;
    now = read_device(args.root, parts_after(now));
    const verdict v = start_seen(before, now, last_look);
    if (v.done) {
      return v;
    }
    signal = wait_until(std::min(deadline, steady::now() + start_look)).signal;
    if (signal != 0) {
      return v;
    }
  }
}

// Watches the tools of the stop's variant end. With none running when the stop
// was written (`before`), one more look a moment later tells that no start
// the daemon was carrying out launches any.
verdict watch_stop(const arguments& args, const snapshot& before, bool packets,
                   steady::time_point deadline, int& signal) {
  const bool had_tools = !pids_ended_by(before, packets).empty();
  const steady::time_point read_at = steady::now() + reading_time;
  snapshot now;
  for (;;) {
    const bool last_look = steady::now() >= deadline;
    now = read_device(args.root, parts_after(now));
    const bool read = had_tools || steady::now() >= read_at;
    const verdict v = stop_seen(now, packets, read, last_look);
    if (v.done) {
      return v;
    }
    const steady::time_point next = steady::now() < read_at ? read_at : steady::now() + stop_look;
    const process_ends ends(pids_ended_by(now, packets));
    signal = wait_until(std::min(deadline, next), ends.fds()).signal;
    if (signal != 0) {
      return v;
    }
  }
}

// Writes the command and waits for its effect; `before` is the device as the
// decision to write saw it.
void write_and_watch(const arguments& args, const command_file& file, const snapshot& before,
                     bool start, bool packets, switched& result) {
  if (const std::string error = file.write(start ? "star" : "stop", packets, result.written_at);
      !error.empty()) {
    result.outcome = {true, 1, "", error, ""};
    return;
  }
  result.written = true;
  if (args.wait_s == 0) {
    result.outcome = {true, 0, std::string(start ? "start" : "stop") + " written\n", "", ""};
    return;
  }
  const auto extension = pause_left(before.command, result.written_at);
  const auto deadline = steady::now() + std::chrono::seconds(args.wait_s) + extension;
  result.outcome = start ? watch_start(args, before, deadline, result.signal)
                         : watch_stop(args, before, packets, deadline, result.signal);
}

std::string open_and_lock(const arguments& args, command_file& file) {
  const sensors_dir sensors = open_sensors(args.root);
  if (!sensors.fd.ok()) {
    return sensors.error;
  }
  if (std::string error = file.open(sensors.fd.get(), under(args.root, odl_command_file), true);
      !error.empty()) {
    return error;
  }
  const auto deadline = steady::now() + std::chrono::seconds(args.wait_s) + lock_patience;
  return file.lock(deadline) ? ""
                             : "another odlctl is still writing the command file: gave up waiting";
}

}  // namespace

switched switch_capture(const arguments& args, bool start) {
  switched result;
  command_file file;
  if (const std::string error = open_and_lock(args, file); !error.empty()) {
    result.outcome = {true, 1, "", error, ""};
    return result;
  }
  snapshot before = read_before(args, file);
  if (!before.command.error.empty()) {
    result.outcome = {true, 1, "", before.command.error, ""};
    return result;
  }
  const bool repeated = before.command.first == (start ? "star" : "stop");
  verdict go = decide_settled(args, file, before, repeated, result.signal, [&](const snapshot& s) {
    return start ? decide_start(s) : decide_stop(s, args.packets);
  });
  if (result.signal != 0) {
    return result;
  }
  if (before.pipe != "served" && before.pipe.rfind("not permitted", 0) != 0) {
    go.err += (go.err.empty() ? "" : "\n") +
              ("warning: flush pipe " + before.sensors + "/sns_diag_flush " + before.pipe +
               ", the daemon may not be running");
  }
  if (go.done) {
    result.outcome = go;
    return result;
  }
  print(go);
  write_and_watch(args, file, before, start, args.packets, result);
  return result;
}

verdict timed_stop(const arguments& args, const own_capture& own, int& signal) {
  command_file file;
  if (const std::string error = open_and_lock(args, file); !error.empty()) {
    return {true, 1, "", error, ""};
  }
  snapshot before = read_before(args, file);
  if (!before.command.error.empty()) {
    return {true, 1, "", before.command.error, ""};
  }
  const bool foreign = before.command.written != own.written;
  const verdict go = decide_settled(args, file, before, foreign, signal, [&own](const snapshot& s) {
    return decide_timed_stop(s, own);
  });
  if (go.done || signal != 0) {
    return go;
  }
  switched result;
  write_and_watch(args, file, before, false, own.packets, result);
  signal = result.signal;
  return result.outcome;
}
