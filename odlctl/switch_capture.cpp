#include <android-base/unique_fd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "interfaces/odl_protocol.h"
#include "odlctl/commands.h"
#include "odlctl/tree.h"
#include "odlctl/watch.h"

using android::base::unique_fd;

namespace {

using namespace std::chrono_literals;

// How long a writer waits, beyond its own wait, for another controller's lock.
constexpr auto lock_patience = 20s;
constexpr auto lock_look = 100ms;
// How often a decision not to write is looked at again while the daemon may
// still read the last command.
constexpr auto settle_look = 500ms;
// How often a start looks for its capture directory and capture tool.
constexpr auto start_look = 100ms;
// How often a stop looks for its capture tools' end; with none running when
// it was written, a look after that long tells that no start the daemon was
// carrying out launches any.
constexpr auto stop_look = 500ms;

constexpr unsigned watched = read_processes | read_growth;

// Takes the command file's lock, saying once that it waits for it; a guard
// (`patient`) waits as long as it takes.
bool lock(int file, const arguments& args, const request& r, int& signal) {
  const auto patience = std::chrono::seconds(args.wait_s) + lock_patience;
  const boot_time deadline = r.patient ? boot_time::max() : boot_clock::now() + patience;
  const std::string what =
      r.own != nullptr ? args.root + odl::sensors_directory + "/" + r.own->name + ": its stop"
      : r.start        ? "start"
                       : "stop";
  bool told = false;
  const auto locked = [&](bool last) -> std::optional<bool> {
    if (flock(file, LOCK_EX | LOCK_NB) == 0) return true;
    if (!std::exchange(told, true)) {
      fail(what + " waits for the command file's lock, which another controller holds");
    }
    return last ? std::optional(false) : std::nullopt;
  };
  return watch(deadline, lock_look, {}, signal, locked).value_or(false);
}

// Writes the command's two lines over the start of the file, then cuts off
// what is left of a longer one: the daemon never reads an empty or partial
// command, and every change wakes it. Returns why not, "" on success;
// `written` is then the file's modification time, which tells this write
// from any later one.
std::string write_command(int file, const std::string& path, const request& r, wall_time& written) {
  const std::string lines = std::string(r.start ? odl::start_word : odl::stop_word) + "\n" +
                            (r.packets ? odl::packets_option : "default") + "\n";
  struct statx status {};
  if (status_of(file, "", status) != 0 ||
      pwrite(file, lines.data(), lines.size(), 0) != static_cast<ssize_t>(lines.size()) ||
      (status.stx_size > lines.size() && ftruncate(file, static_cast<off_t>(lines.size())) != 0) ||
      status_of(file, "", status) != 0) {
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  written = modified(status);
  return "";
}

}  // namespace

std::optional<answer> decide_settled(
    const arguments& args, snapshot& seen, int& signal,
    const std::function<std::optional<answer>(const snapshot& s, bool settled)>& decide) {
  const auto look = [&args] {
    return read_device(args.root, watched | read_command | read_config);
  };
  seen = look();
  const boot_time settled_at = boot_clock::now() + pause_left(seen.command, seen.now);
  bool fresh = true;
  return watch(settled_at, settle_look, {}, signal, [&](bool last) {
    if (!std::exchange(fresh, false)) seen = look();
    return decide(seen, last);
  });
}

switched switch_capture(const arguments& args, const request& r) {
  switched result;
  const std::string path = args.root + odl::command_file;
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  unique_fd file;
  error = sensors.ok() ? open_command_file(sensors.get(), args.root, O_RDWR, file) : error;
  if (error.empty() && !lock(file.get(), args, r, result.signal) && result.signal == 0) {
    error = "another controller keeps the command file locked: gave up waiting, nothing written";
  }
  snapshot before;
  const auto decide = [&r](const snapshot& s, bool settled) {
    return r.own != nullptr ? decide_timed_stop(s, *r.own, settled)
           : r.start        ? decide_start(s, settled)
                            : decide_stop(s, r.packets, settled);
  };
  const std::optional<answer> go = error.empty() && result.signal == 0
                                       ? decide_settled(args, before, result.signal, decide)
                                       : std::nullopt;
  error = error.empty() ? before.command.error : error;
  const std::string own = r.own != nullptr ? r.own->name : "";
  if (!error.empty() || !go || go->what != finding::go) {
    result.outcome = !error.empty() ? verdict{1, "", error}
                     : go           ? say(before, *go, own)
                                    : verdict{};
    result.what = go ? go->what : finding::go;
    return result;
  }
  if (error = write_command(file.get(), path, r, result.written_at); !error.empty()) {
    result.outcome = {1, "", error};
    return result;
  }
  result.written = true;
  if (args.wait_s == 0) {
    result.outcome = {0, std::string(r.start ? "start" : "stop") + " written\n", ""};
    return result;
  }
  const boot_time deadline = boot_clock::now() + std::chrono::seconds(args.wait_s) +
                             pause_left(before.command, result.written_at);
  const boot_time written_look = boot_clock::now() + stop_look;
  const bool had_tools = std::any_of(before.tools.begin(), before.tools.end(),
                                     [&r](const auto& t) { return ended_by_stop(t, r.packets); });
  snapshot now;
  const std::optional<answer> seen =
      r.start ? watch(deadline, start_look, {}, result.signal,
                      [&](bool last) {
                        now = read_device(args.root, watched);
                        return start_seen(before, now, last);
                      })
              : watch(deadline, stop_look, {}, result.signal, [&](bool last) {
                  now = read_device(args.root, watched);
                  const bool read = boot_clock::now() >= written_look;
                  return stop_seen(now, r.packets, read || had_tools, last);
                });
  if (seen) {
    result.what = seen->what;
    result.capture = seen->subject != nullptr ? seen->subject->name : "";
    result.outcome = say(now, *seen, own);
  }
  return result;
}
