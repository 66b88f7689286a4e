// The processes of a device as /proc shows them. A process is this device's
// when its own root holds the device's sensors directory; a capture tool
// when it runs the device's capture tool executable (its /proc/PID/exe
// against the tool's file in its root, by device and inode), whatever its
// command line says; a guard when it runs odlctl's own executable; and a
// leader that has exited is stood for by one of its threads. What cannot be
// read is unseen, and the view is complete only when it shows the process
// that serves the flush pipe.
#include <android-base/file.h>
#include <android-base/parseint.h>
#include <android-base/strings.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <tuple>

#include "odlctl/read_device.h"
#include "odlctl/tree.h"

using android::base::ReadFileToString;
using android::base::Split;

namespace {

// `base`, then `middle` and `name`: the path of an entry of a process's /proc directory.
std::string entry(const std::string& base, std::string_view middle, std::string_view name) {
  std::string path = base;
  path.append(middle).append(name);
  return path;
}

// The errno of following `path` to what it names, 0 once `id` holds it.
int id_at(const std::string& path, file_id& id) {
  struct statx st {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_INO, &st) != 0) return errno;
  id = id_of(st);
  return 0;
}

std::vector<std::string> listing(const std::string& path, int& error) {
  std::vector<std::string> names;
  const android::base::unique_fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  error = dir.ok() ? list_directory(dir.get(), names) : errno;
  return names;
}

std::vector<std::string> arguments_of(const std::string& base) {
  std::string text;
  ReadFileToString(base + "/cmdline", &text);
  return Split(text, std::string(1, '\0'));
}

// How many pid namespaces deep it lies (its NSpid), 0 when that cannot be read.
size_t depth_of(const std::string& base) {
  std::string text;
  ReadFileToString(base + "/status", &text);
  const size_t at = text.find("\nNSpid:");
  return at == std::string::npos
             ? 0
             : Split(text.substr(at + 1, text.find('\n', at + 1) - at - 1), "\t").size() - 1;
}

// Whether this process is in the first pid namespace, the kernel's own, and
// /proc is that namespace's; or (`pid` false) in the first user namespace.
// /proc/self/ns names the first ones with these inode numbers.
bool in_the_first(bool pid) {
  std::string own;
  std::string self;
  const std::string first = pid ? "pid:[4026531836]" : "user:[4026531837]";
  const bool in_first =
      android::base::Readlink(std::string("/proc/self/ns/") + (pid ? "pid" : "user"), &own) &&
      own == first;
  return in_first && (!pid || (android::base::Readlink("/proc/self", &self) &&
                               self == std::to_string(getpid())));
}

// The root directory of the process at `base`, with its mount; the errno.
int root_of(const std::string& base, struct statx& root) {
  return statx(AT_FDCWD, (base + "/root").c_str(), 0, STATX_INO | STATX_MNT_ID, &root) == 0 ? 0
                                                                                            : errno;
}

// Where a process of /proc tells of itself: its own entry or, for a leader
// that has exited while its threads run on, one of its threads'.
std::string live_base(const std::string& pid) {
  std::string base = "/proc/" + pid;
  struct stat st {};
  int error = 0;
  if (stat((base + "/root").c_str(), &st) == 0 || errno != ENOENT) return base;
  for (const std::string& tid : listing(base + "/task", error)) {
    if (tid != pid && stat((entry(base, "/task/", tid) + "/root").c_str(), &st) == 0) {
      return entry(base, "/task/", tid);
    }
  }
  return base;
}

// Whether a descriptor of the process at `base` reads the FIFO `pipe`.
bool reads_pipe(const std::string& base, const file_id& pipe) {
  int error = 0;
  for (const std::string& fd : listing(base + "/fd", error)) {
    file_id id;
    std::string info;
    // "flags:\t0100000": the access mode is the octal number's last digit.
    if (id_at(entry(base, "/fd/", fd), id) == 0 && id == pipe &&
        ReadFileToString(entry(base, "/fdinfo/", fd), &info)) {
      const size_t end = info.find('\n', info.find("flags:"));
      if (end != std::string::npos && info[end - 1] == '0') return true;
    }
  }
  return false;
}

// The directory in the sensors directory that `link` (a descriptor or the
// working directory of the process at `base`) lies in, if any.
void lies_in(const std::string& base, const std::string& link, std::vector<file_id>& into) {
  const std::string sensors = std::string(odl::sensors_directory) + "/";
  std::string path;
  file_id id;
  if (android::base::Readlink(link, &path) && android::base::StartsWith(path, sensors) &&
      id_at(base + "/root" + path.substr(0, path.find('/', sensors.size())), id) == 0) {
    into.push_back(id);
  }
}

void guard_into(const std::string& base, pid_t pid, process_view& v) {
  std::string comm;
  int error = 0;
  // The name a guard gives itself, which no command line changes.
  if (!ReadFileToString(base + "/comm", &comm) || comm != std::string(guard_process_name) + "\n") {
    return;
  }
  guard_process g{pid, {}, {}};
  long long left = -1;
  for (const std::string& fd : listing(base + "/fd", error)) {
    std::string target;
    std::string info;
    struct statx st {};
    // A timer's "it_value: (SECONDS, NANOSECONDS)" is what is left of it.
    if (android::base::Readlink(entry(base, "/fd/", fd), &target) &&
        target == "anon_inode:[timerfd]" && ReadFileToString(entry(base, "/fdinfo/", fd), &info) &&
        info.find("it_value: (") != std::string::npos) {
      const std::vector<std::string> value =
          Split(info.substr(info.find("it_value: (") + 11), ",)");
      long long seconds = -1;
      long long nanoseconds = 0;
      if (value.size() > 1 && android::base::ParseInt(value[0], &seconds) &&
          android::base::ParseInt(android::base::Trim(value[1]), &nanoseconds)) {
        left = std::max(left, seconds * 1000000000 + nanoseconds);
      }
    }
    if (statx(AT_FDCWD, (entry(base, "/fd/", fd)).c_str(), 0, STATX_INO, &st) == 0 &&
        S_ISDIR(st.stx_mode)) {
      g.holds.push_back(id_of(st));
    }
  }
  g.stop_at = std::chrono::system_clock::now() +
              std::chrono::duration_cast<wall_time::duration>(std::chrono::nanoseconds(left));
  if (left >= 0) v.guards.push_back(g);
}

// A capture tool of this device: its option and where it writes.
void tool_into(const std::string& base, pid_t pid, process_view& v) {
  capture_tool t{pid, "", tool_variant::unknown, "", {}};
  int error = 0;
  for (const std::string& fd : listing(base + "/fd", error)) {
    lies_in(base, entry(base, "/fd/", fd), t.writes_into);
  }
  lies_in(base, base + "/cwd", t.writes_into);
  const std::vector<std::string> args = arguments_of(base);
  const odl::tool_arguments said = odl::read_tool_arguments({args.begin() + 1, args.end()});
  if (said.kill && t.writes_into.empty()) return;  // a kill line's run, not a capture
  t.option = said.option;
  t.output = said.output;
  for (const bool packets : {false, true}) {
    const auto variant = packets ? tool_variant::packets_variant : tool_variant::default_variant;
    for (const bool kora : {false, true}) {
      t.variant = t.option == odl::variant_option(kora, packets) ? variant : t.variant;
    }
  }
  t.variant = t.option == odl::kora_group_option ? tool_variant::both : t.variant;
  file_id output;
  if (t.writes_into.empty() && !t.output.empty() && id_at(base + "/root" + t.output, output) == 0) {
    t.writes_into.push_back(output);
  }
  if (t.writes_into.empty()) v.blind.unresolved.push_back(pid);
  if (!t.writes_into.empty()) v.tools.push_back(t);
}

// Whether /proc hides other users' processes from this one, by its mount's
// options in `mountinfo` (/proc/self/mountinfo): it does not for root of the
// first user namespace (`privileged`), nor where a process of another user is
// listed.
bool proc_hides(std::string_view mountinfo, bool privileged, bool other_user_listed) {
  bool hides = false;
  // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS ... - TYPE SOURCE SUPER_OPTIONS"
  for (const std::string& line : Split(std::string(mountinfo), "\n")) {
    const std::vector<std::string> fields = Split(line, " ");
    const std::vector<std::string> options = Split(fields.back(), ",");
    const auto hiding = [](const std::string& o) {
      return o == "hidepid=2" || o == "hidepid=invisible" || o == "hidepid=4" ||
             o == "hidepid=ptraceable";
    };
    if (fields.size() > 4 && fields[4] == "/proc") {
      hides = std::any_of(options.begin(), options.end(), hiding);
    }
  }
  return hides && !privileged && !other_user_listed;
}

}  // namespace

process_view read_processes(int sensors, bool guards) {
  process_view v;
  struct statx own {};
  struct stat pipe {};
  const std::string pipe_name(odl::flush_pipe_name);
  v.blind.no_sensors = sensors < 0 || status_of(sensors, "", own) != 0;
  const file_id device_sensors = id_of(own);
  std::optional<file_id> flush_pipe;
  if (!v.blind.no_sensors && fstatat(sensors, pipe_name.c_str(), &pipe, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISFIFO(pipe.st_mode)) {
    flush_pipe = file_id{pipe.st_dev, pipe.st_ino};
  }
  file_id odlctl;
  id_at("/proc/self/exe", odlctl);
  std::string mountinfo;
  ReadFileToString("/proc/self/mountinfo", &mountinfo);
  // Whether another user's process is listed counts only where the mount may hide them.
  const bool may_hide = proc_hides(mountinfo, false, false);
  bool other_user = false;
  int error = 0;
  std::vector<std::string> devices;  // this device's processes seen, the daemon's runs first
  std::vector<std::pair<pid_t, std::string>> untold;         // processes that may be this device's
  std::map<std::tuple<uint64_t, dev_t, ino_t>, bool> roots;  // whether each holds the sensors
  for (const std::string& name : listing("/proc", error)) {
    pid_t pid = 0;
    if (!plain_digits(name) || !android::base::ParseInt(name, &pid)) continue;
    struct stat entry {};
    if (may_hide && !other_user && stat(("/proc/" + name).c_str(), &entry) == 0) {
      other_user = entry.st_uid != geteuid();
    }
    std::string base = "/proc/" + name;
    struct statx root {};
    int root_error = root_of(base, root);
    // No root: a process gone, or a leader that has exited while its threads run on.
    if (root_error == ENOENT) {
      base = live_base(name);
      root_error = root_of(base, root);
    }
    // Whether a root holds this device's sensors directory is looked up once
    // for each root: the same directory on the same mount, so in the same
    // mount namespace.
    bool this_device = false;
    if (root_error == 0 && !v.blind.no_sensors) {
      const file_id id = id_of(root);
      const auto [known, fresh] = roots.try_emplace({root.stx_mnt_id, id.dev, id.ino}, false);
      file_id root_sensors;
      if (fresh) {
        const int failed = id_at(base + "/root" + odl::sensors_directory, root_sensors);
        known->second = failed == 0 && root_sensors == device_sensors;
      }
      this_device = known->second;
    }
    file_id exe;
    const int exe_error = this_device || guards ? id_at(base + "/exe", exe) : ENOENT;
    if (guards && exe_error == 0 && exe == odlctl) guard_into(base, pid, v);
    // One that may be this device's is untold where its root or executable cannot be read.
    if (root_error == EACCES || root_error == EPERM || (this_device && exe_error != 0)) {
      untold.emplace_back(pid, base);
    }
    if (!this_device || exe_error != 0) continue;
    file_id tool;
    file_id daemon;
    if (id_at(base + "/root" + odl::capture_tool, tool) == 0 && exe == tool) {
      tool_into(base, pid, v);
    }
    const bool the_daemons = id_at(base + "/root" + odl::daemon_path, daemon) == 0 && exe == daemon;
    devices.insert(the_daemons ? devices.begin() : devices.end(), base);
  }
  v.blind.hidden =
      error != 0 || proc_hides(mountinfo, in_the_first(false) && geteuid() == 0, other_user);
  // The daemon: a process of this device that reads the flush pipe. One still
  // in its open counts as a reader, and a probe lets it through: its
  // descriptor is there once the probe is over.
  const auto daemon = [&] {
    const auto reads = [&](const std::string& base) {
      return flush_pipe && reads_pipe(base, *flush_pipe);
    };
    return std::find_if(devices.begin(), devices.end(), reads);
  };
  auto seen = daemon();
  const bool served =
      seen == devices.end() && probe_flush_pipe(sensors, nullptr, error) == pipe_state::served;
  seen = served ? daemon() : seen;
  // Not shallower than the daemon, an unreadable process may be one of this device's.
  const size_t least = seen == devices.end() ? 0 : depth_of(*seen);
  for (const auto& [pid, base] : untold) {
    struct stat entry {};
    const size_t depth = depth_of(base);
    const uid_t uid = stat(base.c_str(), &entry) == 0 ? entry.st_uid : 0;
    if (least == 0 || depth == 0 || depth >= least) v.blind.unreadable.emplace_back(pid, uid);
  }
  const bool clear = !v.blind.hidden && v.blind.unreadable.empty();
  // Without the daemon seen, only a view of the first pid namespace shows every process.
  v.blind.no_daemon = clear && seen == devices.end() && (served || !in_the_first(true));
  return v;
}
