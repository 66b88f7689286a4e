#include "tools/odlctl/command_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

#include "diag/odl_commands.h"
#include "tools/odlctl/sensors_dir.h"

wall_time modified(const struct stat& status) {
  const auto since_epoch = std::chrono::seconds(status.st_mtim.tv_sec) +
                           std::chrono::nanoseconds(status.st_mtim.tv_nsec);
  return wall_time(std::chrono::duration_cast<wall_time::duration>(since_epoch));
}

std::string command_file::open(int sensors, const std::string& path, bool writable) {
  path_ = path;
  const int mode = writable ? O_RDWR : O_RDONLY;
  const std::string name = name_in_sensors(odl_command_file);
  file_.reset(openat(sensors, name.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file_.ok()) {
    const int error = errno;
    if (error == ENOENT) {
      return "no command file " + path + ": the daemon has not set it up (is it running?)";
    }
    if (error == ELOOP) {
      return "command file " + path + " is a symbolic link: not followed";
    }
    return "cannot open " + path + ": " + std::strerror(error);
  }
  struct stat status {};
  if (fstat(file_.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    file_.reset();
    return "command file " + path + " is not a regular file: left alone";
  }
  if (status.st_nlink != 1) {
    file_.reset();
    return "command file " + path + " has " + std::to_string(status.st_nlink) +
           " links: left alone, a write would reach the other names too";
  }
  return "";
}

bool command_file::lock(std::chrono::steady_clock::time_point deadline) const {
  while (flock(file_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

command_record command_file::read() const {
  command_record record;
  struct stat status {};
  char prefix[4096];
  const ssize_t length = pread(file_.get(), prefix, sizeof prefix, 0);
  if (length < 0 || fstat(file_.get(), &status) != 0) {
    record.error = "cannot read " + path_ + ": " + std::strerror(errno);
    return record;
  }
  record.written = modified(status);
  const std::string_view text(prefix, static_cast<size_t>(length));
  std::string* lines[] = {&record.first, &record.second};
  size_t found = 0;
  for (size_t start = 0; found < 2 && start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (end > start) {
      *lines[found++] = text.substr(start, end - start);
    }
    start = end + 1;
  }
  return record;
}

std::string command_file::write(const std::string& command, bool packets,
                                wall_time& written) const {
  const std::string lines = command + "\n" + (packets ? packets_option : "default") + "\n";
  const auto size = static_cast<ssize_t>(lines.size());
  struct stat before {};
  if (fstat(file_.get(), &before) != 0 ||
      pwrite(file_.get(), lines.data(), lines.size(), 0) != size) {
    return "cannot write " + path_ + ": " + std::strerror(errno);
  }
  // Cut only what is left of a longer command: every change wakes the daemon.
  if (before.st_size > size && ftruncate(file_.get(), size) != 0) {
    return "cannot cut " + path_ + ": " + std::strerror(errno);
  }
  struct stat after {};
  if (fstat(file_.get(), &after) != 0) {
    return "cannot read " + path_ + ": " + std::strerror(errno);
  }
  written = modified(after);
  return "";
}
