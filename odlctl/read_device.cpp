#include "odlctl/read_device.h"

#include <android-base/strings.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>

#include "odlctl/judge.h"
#include "odlctl/tree.h"

using android::base::unique_fd;

namespace {

void walk_capture(int sensors, capture& c) {
  tree_figures& t = c.tree.emplace();
  const auto entry = [&t](const tree_entry& e) {
    t.newest = std::max(t.newest, modified(e.status));
    t.files += S_ISREG(e.status.stx_mode) ? 1 : 0;
    t.bytes += S_ISREG(e.status.stx_mode) ? e.status.stx_size : 0;
  };
  walk_tree(sensors, c.name, c.path, entry, [&t](const std::string& path, int error) {
    if (error == EXDEV) {
      t.mounts.push_back(path);
    } else if (t.error.empty()) {
      t.error = path + ": " + std::strerror(error);
    }
  });
}

void captures_into(look& s, int sensors, const std::vector<std::string>& names,
                   const std::function<bool(const capture&)>& walk) {
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
    c.stamped = name != odl::capture_name(nullptr);
    c.mount_point = !same_mount(own, st);
    if (walk && walk(c) && !c.mount_point) walk_capture(sensors, c);
    c.rank = c.stamped ? *start : c.tree.value_or(tree_figures{}).newest;
  }
  // Newest first; odl_sns_date_time below a stamped capture of the same time.
  std::sort(s.captures.begin(), s.captures.end(), [](const capture& a, const capture& b) {
    return a.rank != b.rank ? a.rank > b.rank : a.stamped && !b.stamped;
  });
}

command_record read_from(int file, const std::string& root, std::string error) {
  char prefix[4096];
  struct statx st {};
  const ssize_t length = file >= 0 ? pread(file, prefix, sizeof prefix, 0) : 0;
  if (const int failed = length < 0 ? errno : status_of(file, "", st); file >= 0 && failed != 0) {
    error = "cannot read " + root + odl::command_file + ": " + std::strerror(failed);
  }
  std::istringstream text(std::string(prefix, static_cast<size_t>(std::max<ssize_t>(length, 0))));
  std::vector<std::string> lines;
  odl::read_lines(text, lines, [](const std::string&) {});
  return {error, odl::command_of(lines), modified(st)};
}

command_record last_command(int sensors, const std::string& root) {
  unique_fd file;
  const std::string error = open_command_file(sensors, root, O_RDONLY, file);
  return read_from(file.get(), root, error);
}

look read_look(const std::string& root, const std::function<bool(const capture&)>& walk,
               snapshot* extras) {
  look s;
  s.root = root;
  s.sensors = root + odl::sensors_directory;
  const unique_fd sensors = open_sensors(root, s.sensors_error);
  s.processes = read_processes(sensors.get(), extras != nullptr);
  s.now = std::chrono::system_clock::now();
  std::vector<std::string> names;
  if (const int error = sensors.ok() ? list_directory(sensors.get(), names) : 0; error != 0) {
    s.sensors_error = "cannot read " + s.sensors + ": " + std::strerror(error);
  }
  if (!sensors.ok()) return s;
  captures_into(s, sensors.get(), names, walk);
  s.command = last_command(sensors.get(), root);
  const std::string config(odl::diag_cfg_name);
  s.config_error = faccessat(sensors.get(), config.c_str(), F_OK, 0) == 0 ? 0 : errno;
  struct statvfs space {};
  if (extras != nullptr && fstatvfs(sensors.get(), &space) == 0) {
    extras->space.emplace(static_cast<unsigned long long>(space.f_bavail) * space.f_frsize,
                          static_cast<unsigned long long>(space.f_blocks) * space.f_frsize);
  }
  if (extras != nullptr) {
    extras->pipe = probe_flush_pipe(sensors.get(), nullptr, extras->pipe_error);
  }
  judge_states(s);
  return s;
}

}  // namespace

look look_at(const std::string& root, const std::function<bool(const capture&)>& walk) {
  return read_look(root, walk, nullptr);
}

snapshot read_device(const std::string& root) {
  snapshot s;
  static_cast<look&>(s) = read_look(
      root, [](const capture&) { return true; }, &s);
  return s;
}

std::vector<std::string> capture_names(const std::string& root) {
  std::string error;
  std::vector<std::string> names;
  const unique_fd sensors = open_sensors(root, error);
  if (sensors.ok()) list_directory(sensors.get(), names);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& name) { return !capture_start(name); }),
              names.end());
  return names;
}

command_record read_command(int file, const std::string& root) { return read_from(file, root, ""); }

command_record read_command(const std::string& root) {
  command_record record;
  const unique_fd sensors = open_sensors(root, record.error);
  return sensors.ok() ? last_command(sensors.get(), root) : record;
}

std::optional<wall_time> capture_start(std::string_view name) {
  // A wait looks at the same names again and again, and mktime is dear.
  static std::map<std::string, std::optional<wall_time>, std::less<>> known;
  if (const auto at = known.find(name); at != known.end()) return at->second;
  if (!android::base::StartsWith(name, odl::capture_prefix)) return std::nullopt;
  if (name == odl::capture_name(nullptr)) return wall_time{};
  // Read and made again by the daemon's own rule: only a name it makes (no
  // month 13, no 30 February, no missing zero) comes back the same.
  std::tm local{};
  const std::string stamp(name.substr(odl::capture_prefix.size()));
  const std::string format = odl::underscored(odl::capture_stamp_format);
  const char* end = strptime(stamp.c_str(), format.c_str(), &local);
  local.tm_isdst = -1;
  const std::time_t start = end != nullptr && *end == '\0' ? std::mktime(&local) : -1;
  const bool made = start != -1 && odl::capture_name(&local) == name;
  const auto found =
      made ? std::optional(std::chrono::system_clock::from_time_t(start)) : std::nullopt;
  return known.emplace(name, found).first->second;
}

unique_fd open_sensors(const std::string& root, std::string& error) {
  unique_fd dir(open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string reached = root;
  for (const std::string& name :
       android::base::Split(std::string(odl::sensors_directory).substr(1), "/")) {
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
  const std::string name(odl::command_file_name);
  file.reset(openat(sensors, name.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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
  const std::string name(odl::flush_pipe_name);
  struct stat st {};
  if (fstatat(sensors, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return error == ENOENT ? pipe_state::missing : pipe_state::failed;
  }
  if (!S_ISFIFO(st.st_mode)) return S_ISLNK(st.st_mode) ? pipe_state::link : pipe_state::not_fifo;
  unique_fd opened(openat(sensors, name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  error = errno;
  if (!opened.ok()) {
    return error == ENXIO                      ? pipe_state::not_served
           : error == EACCES || error == EPERM ? pipe_state::not_permitted
           : error == ENOENT                   ? pipe_state::missing
                                               : pipe_state::failed;
  }
  // Replaced meanwhile by something that is not a FIFO: nothing goes into it.
  if (fstat(opened.get(), &st) != 0 || !S_ISFIFO(st.st_mode)) return pipe_state::not_fifo;
  if (writer != nullptr) *writer = std::move(opened);
  return pipe_state::served;
}
