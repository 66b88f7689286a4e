#include "tools/odlctl/read_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "diag/sensors_paths.h"
#include "tools/odlctl/command_file.h"
#include "tools/odlctl/decide.h"
#include "tools/odlctl/sensors_dir.h"
#include "tools/odlctl/tree_walk.h"

namespace {

wall_time modified(const struct statx& status) {
  const auto since_epoch = std::chrono::seconds(status.stx_mtime.tv_sec) +
                           std::chrono::nanoseconds(status.stx_mtime.tv_nsec);
  return wall_time(std::chrono::duration_cast<wall_time::duration>(since_epoch));
}

tree read_tree(int sensors, const capture& c) {
  tree t;
  tree_visitor visitor;
  visitor.entry = [&t](const tree_entry& e) {
    t.newest = std::max(t.newest, modified(e.status));
    if (S_ISREG(e.status.stx_mode)) {
      ++t.files;
      t.bytes += e.status.stx_size;
    }
  };
  visitor.mount = [&t](const std::string& path) { t.mounts.push_back(path); };
  visitor.error = [&t](const std::string& path, const std::string& why) {
    if (t.error.empty()) {
      t.error = path + ": " + why;
    }
  };
  walk_tree(sensors, c.name, c.path, visitor);
  return t;
}

// A small file's whole content, read without following a link and without
// blocking; "" when it cannot be read or is not a regular file.
std::string read_small(int dir, const std::string& name, uid_t* owner = nullptr) {
  const unique_fd file(
      openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  char content[4096];
  if (!file.ok() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_nlink != 1) {
    return "";
  }
  const ssize_t length = read(file.get(), content, sizeof content);
  if (owner != nullptr) {
    *owner = status.st_uid;
  }
  return length > 0 ? std::string(content, static_cast<size_t>(length)) : "";
}

void captures_into(snapshot& s, int sensors, const std::vector<std::string>& names, bool trees) {
  for (const std::string& name : names) {
    struct statx status {};
    const int error = is_capture_name(name) ? status_of(sensors, name, status) : ENOENT;
    if (error != 0 && error != ENOENT && s.sensors_error.empty()) {
      s.sensors_error = "cannot read " + s.sensors + "/" + name + ": " + std::strerror(error);
    }
    if (error != 0 || !S_ISDIR(status.stx_mode)) {
      continue;
    }
    capture c{name, s.sensors + "/" + name, id_of(status), std::nullopt};
    if (trees) {
      c.contents = read_tree(sensors, c);
    }
    s.captures.push_back(std::move(c));
  }
  std::sort(s.captures.begin(), s.captures.end(),
            [](const capture& a, const capture& b) { return a.name > b.name; });
}

bool denied(int error) { return error == EACCES || error == EPERM; }

// The process's command line, split; `error` is the errno when it cannot be read.
std::vector<std::string> arguments_of(const std::string& pid, int& error) {
  std::vector<std::string> arguments;
  const unique_fd file(open(("/proc/" + pid + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  char text[8192];
  const ssize_t length = file.ok() ? read(file.get(), text, sizeof text) : -1;
  error = length < 0 ? errno : 0;
  for (size_t start = 0; length > 0 && start < static_cast<size_t>(length);) {
    const auto end = static_cast<size_t>(std::find(text + start, text + length, '\0') - text);
    arguments.emplace_back(text + start, end - start);
    start = end + 1;
  }
  return arguments;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A launch of the capture tool on this device: one whose own root holds this
// device's sensors directory (`sensors`). Another device's, a sandbox beside
// this one, is not this device's business.
void read_tool(snapshot& s, const file_id& sensors, const std::string& pid,
               const std::vector<std::string>& arguments) {
  capture_tool tool;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const bool valued = i + 1 < arguments.size();
    if (arguments[i] == "-k") {
      return;
    }
    if ((arguments[i] == "-p" || arguments[i] == "-g") && valued) {
      tool.option = arguments[i] + " " + arguments[i + 1];
    } else if (arguments[i] == "-o" && valued) {
      tool.output = arguments[i + 1];
    }
  }
  std::from_chars(pid.data(), pid.data() + pid.size(), tool.pid);
  const std::string its_root = "/proc/" + pid + "/root";
  struct statx status {};
  if (statx(AT_FDCWD, (its_root + sensors_directory).c_str(), 0, STATX_INO, &status) != 0) {
    tool.readable = false;
    if (denied(errno)) {
      s.tools.push_back(tool);
    }
    return;
  }
  if (id_of(status) != sensors) {
    return;
  }
  if (statx(AT_FDCWD, (its_root + tool.output).c_str(), 0, STATX_INO, &status) == 0) {
    tool.output_id = id_of(status);
  }
  s.tools.push_back(tool);
}

// The pids of odlctl's guards, with their users.
using guard_processes = std::vector<std::pair<pid_t, uid_t>>;

// The capture tools of this device and the processes that cannot be read;
// with `guards`, the guards too, known by their name (their command line is
// their controller's where odlctl runs under an emulator).
void read_processes_into(snapshot& s, const file_id& sensors, guard_processes* guards) {
  const unique_fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<std::string> pids;
  if (!proc.ok() || list_directory(proc.get(), pids) != 0) {
    s.unreadable.push_back(0);  // none could be read
    return;
  }
  for (const std::string& pid : pids) {
    pid_t number = 0;
    const auto [end, error] = std::from_chars(pid.data(), pid.data() + pid.size(), number);
    if (error != std::errc() || end != pid.data() + pid.size()) {
      continue;
    }
    int failed = 0;
    const std::vector<std::string> arguments = arguments_of(pid, failed);
    if (denied(failed)) {
      s.unreadable.push_back(number);
    } else if (!arguments.empty() && base_name(arguments[0]) == "trcap") {
      read_tool(s, sensors, pid, arguments);
    } else if (guards != nullptr &&
               read_small(proc.get(), pid + "/comm") == std::string(guard_process_name) + "\n") {
      struct stat status {};
      if (fstatat(proc.get(), pid.c_str(), &status, 0) == 0) {
        guards->emplace_back(number, status.st_uid);
      }
    }
  }
}

// The guards whose state file in the sensors directory its running process
// owns; a file without such a process, or one it does not own, says nothing.
void guards_into(snapshot& s, int sensors, const std::vector<std::string>& names,
                 const guard_processes& running) {
  for (const auto& [pid, user] : running) {
    const std::string name = guard_file_name(pid);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      continue;
    }
    uid_t owner = 0;
    const std::string content = read_small(sensors, name, &owner);
    const size_t blank = content.find(' ');
    if (owner != user || blank == std::string::npos || content.back() != '\n') {
      continue;
    }
    const std::string capture = content.substr(0, blank);
    const std::string_view number(content.data() + blank + 1, content.size() - blank - 2);
    long long stop_at = 0;
    const auto [end, error] = std::from_chars(number.begin(), number.end(), stop_at);
    if (error == std::errc() && end == number.end() && is_capture_name(capture)) {
      s.guards.push_back({pid, capture, wall_time(std::chrono::seconds(stop_at))});
    }
  }
}

std::string config_state(int sensors) {
  struct stat status {};
  if (fstatat(sensors, name_in_sensors(diag_cfg_path).c_str(), &status, 0) == 0) {
    return "present";
  }
  const int error = errno;
  return error == ENOENT || error == ENOTDIR
             ? "missing"
             : std::string("cannot be told: ") + std::strerror(error);
}

}  // namespace

std::string under(const std::string& root, const char* device_path) { return root + device_path; }

std::string guard_file_name(pid_t pid) { return guard_file_prefix + std::to_string(pid); }

std::string probe_flush_pipe(int sensors, unique_fd& writer) {
  const std::string name = name_in_sensors(flush_pipe_path);
  struct stat status {};
  if (fstatat(sensors, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    return error == ENOENT || error == ENOTDIR
               ? "missing"
               : std::string("cannot be reached: ") + std::strerror(error);
  }
  if (S_ISLNK(status.st_mode)) {
    return "a symbolic link, not followed";
  }
  if (!S_ISFIFO(status.st_mode)) {
    return "not a FIFO";
  }
  writer.reset(openat(sensors, name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!writer.ok()) {
    const int error = errno;
    if (error == ENXIO) {
      return "not served (nothing reads it)";
    }
    if (denied(error)) {
      return "not permitted (this user may not write into it)";
    }
    return error == ENOENT ? "missing" : std::string("cannot be opened: ") + std::strerror(error);
  }
  // Replaced meanwhile by something that is not a FIFO: write nothing into it.
  if (fstat(writer.get(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
    writer.reset();
    return "not a FIFO";
  }
  return "served";
}

snapshot read_device(const std::string& root, unsigned parts) {
  snapshot s;
  s.root = root;
  const sensors_dir dir = open_sensors(root);
  const unique_fd& sensors = dir.fd;
  s.sensors = dir.path;
  struct statx own {};
  const bool known = sensors.ok() && status_of(sensors.get(), ".", own) == 0;
  guard_processes guards;
  if ((parts & (read_processes | read_guards)) != 0) {
    const bool with_guards = (parts & read_guards) != 0;
    read_processes_into(s, known ? id_of(own) : file_id{}, with_guards ? &guards : nullptr);
  }
  s.now = std::chrono::system_clock::now();
  if (!sensors.ok()) {
    s.sensors_error = dir.error;
    s.config = s.pipe = "unknown: the sensors directory cannot be read";
    return s;
  }
  std::vector<std::string> names;
  if (const int error = list_directory(sensors.get(), names); error != 0) {
    s.sensors_error = "cannot read " + s.sensors + ": " + std::strerror(error);
  }
  if ((parts & (read_captures | read_trees)) != 0) {
    captures_into(s, sensors.get(), names, (parts & read_trees) != 0);
  }
  if ((parts & read_guards) != 0) {
    guards_into(s, sensors.get(), names, guards);
  }
  if ((parts & read_command) != 0) {
    command_file file;
    s.command.error = file.open(sensors.get(), under(root, odl_command_file), false);
    s.command = s.command.error.empty() ? file.read() : s.command;
  }
  if ((parts & read_config) != 0) {
    s.config = config_state(sensors.get());
  }
  if ((parts & read_pipe) != 0) {
    unique_fd writer;
    s.pipe = probe_flush_pipe(sensors.get(), writer);
  }
  if ((parts & read_space) != 0) {
    struct statvfs space {};
    if (fstatvfs(sensors.get(), &space) == 0) {
      s.free_bytes = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
      s.total_bytes = static_cast<unsigned long long>(space.f_blocks) * space.f_frsize;
    } else {
      s.space_error = "cannot measure the space of " + s.sensors + ": " + std::strerror(errno);
    }
  }
  return s;
}
