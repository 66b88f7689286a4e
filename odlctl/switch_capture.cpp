#include <android-base/scopeguard.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "odlctl/commands.h"
#include "odlctl/tree.h"
#include "odlctl/watch.h"

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
// How often a stop looks for its capture tools' end, each look reading every
// process of the device; with none running when it was written, a look half
// a second after tells that no start the daemon was carrying out launches any.
constexpr auto stop_look = 1s;
constexpr auto launch_time = 500ms;

// Takes the command file's lock, saying once that it waits for it; a guard
// (`patient`) waits as long as it takes, whatever comes meanwhile: an ending
// event asked for its stop. None when an ending event cut it short.
std::optional<bool> lock(int file, const arguments& args, const request& r) {
  const auto patience = std::chrono::seconds(args.wait_s) + lock_patience;
  const boot_time deadline = r.patient ? boot_time::max() : boot_clock::now() + patience;
  const std::string what =
      r.own != nullptr ? args.root + odl::sensors_directory + "/" + r.own->name + ": its stop"
      : r.command.what == odl::action::start ? "start"
                                             : "stop";
  int looks = 0;
  const auto locked = [&](bool last) -> std::optional<bool> {
    if (flock(file, LOCK_EX | LOCK_NB) == 0) return true;
    if (looks++ == 0) {
      fail(what + " waits for the command file's lock, which another controller holds");
    }
    // A guard's word to its controller, every second, that it waits on.
    if (r.patient && looks % 10 == 0) report(".");
    return last ? std::optional(false) : std::nullopt;
  };
  std::optional<bool> got = watch(deadline, lock_look, {}, locked);
  while (r.patient && !got) got = watch(deadline, lock_look, {}, locked);
  return got;
}

// Writes the command's two lines over the start of the file, then cuts off
// what is left of a longer one: the daemon never reads an empty or partial
// command, and every change wakes it. Returns why not, "" on success;
// `written.written` is then the file's modification time, which tells this
// write from any later one.
std::string write_command(int file, const std::string& path, command_record& written) {
  const std::string lines = odl::command_text(written.command);
  const auto length = static_cast<off_t>(lines.size());
  struct statx status {};
  if (status_of(file, "", status) != 0 || pwrite(file, lines.data(), lines.size(), 0) != length ||
      (status.stx_size > lines.size() && ftruncate(file, length) != 0) ||
      status_of(file, "", status) != 0) {
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  written.written = modified(status);
  return "";
}

// Decides on the device as it is looked at (into `seen`): `decide` is asked
// with `settled` once the daemon has had the time to read the last command,
// and until then the device is looked at again. None when an ending event cut
// it short.
template <typename Decide>
std::optional<answer> decide_settled(const arguments& args, look& seen, Decide decide) {
  seen = look_at(args.root);
  const boot_time settled_at = boot_clock::now() + pause_left(seen.command, seen.now);
  bool fresh = true;
  return watch(settled_at, settle_look, {}, [&](bool last) {
    if (!std::exchange(fresh, false)) seen = look_at(args.root);
    return decide(seen, last);
  });
}

}  // namespace

switched switch_capture(const arguments& args, const request& r,
                        const std::function<void(const command_record&, bool done)>& on_write) {
  switched result;
  const bool start = r.command.what == odl::action::start;
  std::string error;
  const android::base::unique_fd sensors = open_sensors(args.root, error);
  android::base::unique_fd opened;
  if (r.file < 0 && sensors.ok()) {
    error = open_command_file(sensors.get(), args.root, O_RDWR, opened);
  }
  const int file = r.file >= 0 ? r.file : opened.get();
  const std::optional<bool> locked = error.empty() ? lock(file, args, r) : false;
  // A guard's descriptor outlives the switch, and so would its lock.
  const auto unlock = android::base::make_scope_guard([file] { flock(file, LOCK_UN); });
  if (error.empty() && locked == false) {
    error = "another controller keeps the command file locked: gave up waiting, nothing written";
  }
  look before;
  std::optional<answer> go;
  if (error.empty() && locked && r.own != nullptr) {
    // Through the command file the guard holds: a name linked to it since is no other file.
    before = look_at(args.root);
    before.command = read_command(file, args.root);
    go = decide_timed_stop(before.command, *r.own);
  } else if (error.empty() && locked) {
    go = decide_settled(args, before, [&r, start](const look& s, bool settled) {
      return start ? decide_start(s, settled) : decide_stop(s, r.command.packets, settled);
    });
  }
  error = error.empty() ? before.command.error : error;
  const std::string own = r.own != nullptr ? r.own->name : "";
  // An ending event before a start is written: nothing is. A stop is written all the same.
  result.cut = error.empty() && (!go || (go->what == finding::go && start && ending_pending()));
  command_record written{"", r.command, {}};
  if (error.empty() && !result.cut && go->what == finding::go) {
    if (on_write) on_write(written, false);
    error = write_command(file, args.root + odl::command_file, written);
    result.written = error.empty();
  }
  if (!result.written) {
    result.outcome = !error.empty() ? verdict{1, "", error}
                     : go           ? say(before, *go, own)
                                    : verdict{};
    result.what = go ? go->what : finding::go;
    return result;
  }
  if (on_write) on_write(written, true);
  if (args.wait_s == 0) {
    result.outcome = {0, std::string(start ? "start" : "stop") + " written\n", ""};
    return result;
  }
  const boot_time deadline = boot_clock::now() + std::chrono::seconds(args.wait_s) +
                             pause_left(before.command, written.written);
  const boot_time written_look = boot_clock::now() + launch_time;
  const bool had_tools = !stop_seen(before, r.command.packets, true, false);
  // A capture directory, or a name, that was not there before the write.
  const auto is_new = [&before](const std::string& name) {
    return std::none_of(before.captures.begin(), before.captures.end(),
                        [&name](const capture& old) { return old.name == name; });
  };
  const auto fresh = [&is_new](const capture& c) { return is_new(c.name); };
  look now;
  std::optional<answer> seen = watch(deadline, start ? start_look : stop_look, {}, [&](bool last) {
    // Until a new capture directory appears, a start's look reads only the sensors directory.
    const std::vector<std::string> names =
        start && !last ? capture_names(args.root) : std::vector<std::string>{};
    if (start && !last && std::none_of(names.begin(), names.end(), is_new)) {
      return std::optional<answer>();
    }
    now = look_at(args.root, fresh);
    const bool read = had_tools || boot_clock::now() >= written_look;
    return start ? start_seen(before, now, last) : stop_seen(now, r.command.packets, read, last);
  });
  result.cut = !seen;
  if (seen) {
    int why = 0;
    const bool no_effect =
        seen->what == finding::no_new_directory || seen->what == finding::still_running;
    seen->no_daemon =
        no_effect && probe_flush_pipe(sensors.get(), nullptr, why) != pipe_state::served;
    result.what = seen->what;
    result.capture = seen->subject != nullptr ? seen->subject->name : "";
    result.id = seen->subject != nullptr ? seen->subject->id : file_id{};
    result.outcome = say(now, *seen, own);
  }
  return result;
}
