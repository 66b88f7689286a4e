#include <android-base/file.h>
#include <android-base/parseint.h>
#include <android-base/strings.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "interfaces/odl_protocol.h"
#include "odlctl/tree.h"

using android::base::ReadFileToString;
using android::base::Split;
using android::base::StartsWith;
using android::base::unique_fd;

namespace {

// A capture grows while something in it was written this recently.
constexpr std::chrono::seconds growth_window{2};
constexpr std::string_view guard_record_prefix = "odlctl_guard_";

bool denied(int error) { return error == EACCES || error == EPERM; }

// The name, in the sensors directory, of a file there.
const char* in_sensors(const char* device_path) { return std::strrchr(device_path, '/') + 1; }

void walk_capture(int sensors, capture& c) {
  c.walked = true;
  const auto entry = [&c](const tree_entry& e) {
    c.newest = std::max(c.newest, modified(e.status));
    c.files += S_ISREG(e.status.stx_mode) ? 1 : 0;
    c.bytes += S_ISREG(e.status.stx_mode) ? e.status.stx_size : 0;
  };
  walk_tree(sensors, c.name, c.path, entry, [&c](const std::string& path, int error) {
    if (error == EXDEV) {
      c.mounts.push_back(path);
    } else if (c.error.empty()) {
      c.error = path + ": " + std::strerror(error);
    }
  });
}

void captures_into(snapshot& s, int sensors, const std::vector<std::string>& names, bool trees) {
  struct statx own {};
  status_of(sensors, "", own);
  for (const std::string& name : names) {
    const std::optional<wall_time> start = capture_start(name);
    struct statx st {};
    const int error = start ? status_of(sensors, name, st) : ENOENT;
    if (error != 0 && error != ENOENT && s.sensors_error.empty()) {
      s.sensors_error = "cannot read " + s.sensors + "/" + name + ": " + std::strerror(error);
    }
    if (error != 0 || !S_ISDIR(st.stx_mode)) continue;
    capture& c = s.captures.emplace_back();
    c.name = name;
    c.path = s.sensors + "/" + name;
    c.id = id_of(st);
    c.stamped = !android::base::EndsWith(name, odl::capture_fallback_stamp);
    c.mount_point = !same_mount(own, st);
    if (trees && !c.mount_point) walk_capture(sensors, c);
    c.rank = c.stamped ? *start : c.newest;
  }
  // Newest first; odl_sns_date_time below a stamped capture of the same time.
  std::sort(s.captures.begin(), s.captures.end(), [](const capture& a, const capture& b) {
    return a.rank != b.rank ? a.rank > b.rank : a.stamped && !b.stamped;
  });
}

// A launch of the capture tool is this device's when its own root holds this
// device's sensors directory; another device's, a sandbox beside this one,
// is none of odlctl's business.
void tool_into(snapshot& s, const file_id& sensors, pid_t pid,
               const std::vector<std::string>& args) {
  capture_tool tool{pid, "", tool_variant::neither, "", {}};
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-k") return;
    const std::string& value = i + 1 < args.size() ? args[i + 1] : "";
    tool.option = args[i] == "-p" || args[i] == "-g" ? args[i] + " " + value : tool.option;
    tool.output = args[i] == "-o" ? value : tool.output;
  }
  for (const bool kora : {true, false}) {
    for (const bool packets : {true, false}) {
      if (tool.option == odl::variant_option(kora, packets)) {
        tool.variant = packets ? tool_variant::packets_variant : tool_variant::default_variant;
      }
    }
  }
  tool.variant = tool.option == odl::kora_group_option ? tool_variant::both : tool.variant;
  const std::string root = "/proc/" + std::to_string(pid) + "/root";
  struct statx st {};
  if (statx(AT_FDCWD, (root + odl::sensors_directory).c_str(), 0, STATX_INO, &st) != 0) {
    if (denied(errno)) s.blind.unreadable.push_back(pid);
  } else if (id_of(st) != sensors) {
    return;
  } else if (statx(AT_FDCWD, (root + tool.output).c_str(), 0, STATX_INO, &st) != 0) {
    s.blind.unresolved.push_back(pid);
  } else {
    tool.writes_into = id_of(st);
    s.tools.push_back(tool);
  }
}

// The capture tools of this device, and what could not be seen.
void processes_into(snapshot& s, const file_id& sensors) {
  std::string mountinfo;
  ReadFileToString("/proc/self/mountinfo", &mountinfo);
  const unique_fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<std::string> pids;
  const bool listed = proc.ok() && list_directory(proc.get(), pids) == 0;
  const bool pid1 = std::find(pids.begin(), pids.end(), "1") != pids.end();
  s.blind.hidden = !listed || proc_hidden(mountinfo, geteuid(), pid1, getpid());
  s.blind.no_sensors = sensors == file_id{};
  for (const std::string& name : pids) {
    pid_t pid = 0;
    std::string command_line;
    if (!plain_digits(name) || !android::base::ParseInt(name, &pid)) continue;
    if (!ReadFileToString("/proc/" + name + "/cmdline", &command_line)) {
      if (denied(errno)) s.blind.unreadable.push_back(pid);
      continue;
    }
    const std::vector<std::string> args = Split(command_line, std::string(1, '\0'));
    if (android::base::Basename(args[0]) == android::base::Basename(odl::capture_tool)) {
      tool_into(s, sensors, pid, args);
    }
  }
}

// The records of guards ("odlctl_guard_" and a pid, a regular file holding
// "CAPTURE STOP_SECONDS"), each believed only while a guard process with its
// pid runs and owns it.
void guards_into(snapshot& s, int sensors, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    guard_record g;
    const std::string pid = name.substr(std::min(name.size(), guard_record_prefix.size()));
    const bool named = StartsWith(name, guard_record_prefix) && plain_digits(pid);
    const unique_fd file(
        named ? openat(sensors, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1);
    struct stat st {};
    struct stat process {};
    char text[256] = {};
    std::string comm;
    long long stop_at = 0;
    if (!file.ok() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        read(file.get(), text, sizeof text - 1) < 0 || !android::base::ParseInt(pid, &g.pid)) {
      continue;
    }
    const std::vector<std::string> fields = Split(text, " \n");
    // Up to 2100: a later stop is none a guard was given.
    if (fields.size() != 3 || !capture_start(fields[0]) || !fields[2].empty() ||
        !android::base::ParseInt(fields[1], &stop_at, 0LL, 4102444800LL)) {
      continue;
    }
    g.capture = fields[0];
    g.stop_at = wall_time(std::chrono::seconds(stop_at));
    g.runs = ReadFileToString("/proc/" + pid + "/comm", &comm) &&
             comm == std::string(guard_process_name) + "\n" &&
             stat(("/proc/" + pid).c_str(), &process) == 0 && process.st_uid == st.st_uid;
    s.guards.push_back(g);
  }
}

command_record last_command(int sensors, const std::string& root) {
  command_record record;
  unique_fd file;
  char prefix[4096];
  struct statx st {};
  record.error = open_command_file(sensors, root, O_RDONLY, file);
  const ssize_t length = file.ok() ? pread(file.get(), prefix, sizeof prefix, 0) : 0;
  if (const int error = length < 0 ? errno : status_of(file.get(), "", st);
      file.ok() && error != 0) {
    record.error = "cannot read " + root + odl::command_file + ": " + std::strerror(error);
  }
  std::vector<std::string> lines =
      Split(std::string(prefix, static_cast<size_t>(std::max<ssize_t>(length, 0))), "\n");
  lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
  lines.resize(std::max<size_t>(lines.size(), 2));
  record.first = lines[0];
  record.second = lines[1];
  record.written = modified(st);
  return record;
}

// Each capture's state and tools, decided once.
void judge(snapshot& s) {
  for (capture& c : s.captures) {
    std::copy_if(s.tools.begin(), s.tools.end(), std::back_inserter(c.tools),
                 [&c](const capture_tool& tool) { return tool.writes_into == c.id; });
    c.state = !c.tools.empty() ? run_state::running
              : s.blind.any()  ? run_state::unknown
                               : run_state::finished;
    c.grows = c.walked && c.newest <= s.now && s.now - c.newest < growth_window;
  }
}

}  // namespace

std::optional<wall_time> capture_start(std::string_view name) {
  if (!StartsWith(name, odl::capture_prefix)) return std::nullopt;
  std::string stamp(name.substr(std::strlen(odl::capture_prefix)));
  if (stamp == odl::capture_fallback_stamp) return wall_time{};
  // The daemon's own format, read and written again: only the text it makes
  // (no month 13, no 30 February, no missing zero) comes back the same.
  std::replace(stamp.begin(), stamp.end(), '_', '-');
  std::tm local{};
  const char* end = strptime(stamp.c_str(), odl::capture_stamp_format, &local);
  local.tm_isdst = -1;
  const std::time_t start = end != nullptr && *end == '\0' ? std::mktime(&local) : -1;
  char again[80] = "";
  static_cast<void>(std::strftime(again, sizeof again, odl::capture_stamp_format, &local));
  if (start == -1 || stamp != again) return std::nullopt;
  return std::chrono::system_clock::from_time_t(start);
}

bool proc_hidden(std::string_view mountinfo, uid_t euid, bool pid1_listed, pid_t own_pid) {
  bool hides = false;
  // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS ... - TYPE SOURCE SUPER_OPTIONS"
  for (const std::string& line : Split(std::string(mountinfo), "\n")) {
    const std::vector<std::string> fields = Split(line, " ");
    const std::vector<std::string> options = Split(fields.back(), ",");
    if (fields.size() > 4 && fields[4] == "/proc") {
      hides = std::count(options.begin(), options.end(), "hidepid=2") +
                  std::count(options.begin(), options.end(), "hidepid=invisible") !=
              0;
    }
  }
  return (hides && euid != 0) || (!pid1_listed && own_pid != 1);
}

std::string guard_record_name(pid_t pid) {
  return std::string(guard_record_prefix) + std::to_string(pid);
}

unique_fd open_sensors(const std::string& root, std::string& error) {
  unique_fd dir(open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string reached = root;
  for (const std::string& name : Split(odl::sensors_directory + 1, "/")) {
    reached += "/" + name;
    if (dir.ok()) {
      dir.reset(openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!dir.ok()) {
      const bool link = errno == ELOOP || errno == ENOTDIR;
      error = "cannot read " + root + odl::sensors_directory + ": " +
              (link ? reached + " is a symbolic link or no directory: not followed"
                    : std::strerror(errno));
      break;
    }
  }
  return dir;
}

std::string open_command_file(int sensors, const std::string& root, int mode, unique_fd& file) {
  const std::string path = root + odl::command_file;
  file.reset(openat(sensors, in_sensors(odl::command_file),
                    mode | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!file.ok()) {
    return errno == ENOENT
               ? "no command file " + path + ": the daemon has not set it up (is it running?)"
           : errno == ELOOP ? "command file " + path + " is a symbolic link: not followed"
                            : "cannot open " + path + ": " + std::strerror(errno);
  }
  const bool regular = fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_nlink == 1) return "";
  file.reset();
  return regular ? "command file " + path + " has " + std::to_string(st.st_nlink) +
                       " links: left alone, a write would reach the other names too"
                 : "command file " + path + " is not a regular file: left alone";
}

pipe_state probe_flush_pipe(int sensors, unique_fd* writer, int& error) {
  const char* name = in_sensors(odl::flush_pipe_path);
  struct stat st {};
  if (fstatat(sensors, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return error == ENOENT ? pipe_state::missing : pipe_state::failed;
  }
  if (!S_ISFIFO(st.st_mode)) return S_ISLNK(st.st_mode) ? pipe_state::link : pipe_state::not_fifo;
  unique_fd opened(openat(sensors, name, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  error = errno;
  if (!opened.ok()) {
    return error == ENXIO    ? pipe_state::not_served
           : denied(error)   ? pipe_state::not_permitted
           : error == ENOENT ? pipe_state::missing
                             : pipe_state::failed;
  }
  // Replaced meanwhile by something that is not a FIFO: nothing goes into it.
  if (fstat(opened.get(), &st) != 0 || !S_ISFIFO(st.st_mode)) return pipe_state::not_fifo;
  if (writer != nullptr) *writer = std::move(opened);
  return pipe_state::served;
}

snapshot read_device(const std::string& root, unsigned parts) {
  snapshot s;
  s.root = root;
  s.sensors = root + odl::sensors_directory;
  const unique_fd sensors = open_sensors(root, s.sensors_error);
  struct statx own {};
  const bool known = sensors.ok() && status_of(sensors.get(), "", own) == 0;
  if ((parts & read_processes) != 0) processes_into(s, known ? id_of(own) : file_id{});
  s.now = std::chrono::system_clock::now();
  std::vector<std::string> names;
  if (const int error = sensors.ok() ? list_directory(sensors.get(), names) : 0; error != 0) {
    s.sensors_error = "cannot read " + s.sensors + ": " + std::strerror(error);
  }
  if (!sensors.ok()) return s;
  captures_into(s, sensors.get(), names,
                (parts & read_trees) != 0 || ((parts & read_growth) != 0 && s.blind.any()));
  if ((parts & read_command) != 0) s.command = last_command(sensors.get(), root);
  if ((parts & read_guards) != 0) guards_into(s, sensors.get(), names);
  if ((parts & read_config) != 0) {
    s.config_error =
        faccessat(sensors.get(), in_sensors(odl::diag_cfg_path), F_OK, 0) == 0 ? 0 : errno;
  }
  if ((parts & read_extras) != 0) {
    s.pipe = probe_flush_pipe(sensors.get(), nullptr, s.pipe_error);
    struct statvfs space {};
    if (fstatvfs(sensors.get(), &space) == 0) {
      s.space.emplace(static_cast<unsigned long long>(space.f_bavail) * space.f_frsize,
                      static_cast<unsigned long long>(space.f_blocks) * space.f_frsize);
    }
  }
  judge(s);
  return s;
}
