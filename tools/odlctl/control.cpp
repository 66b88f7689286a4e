#include "tools/odlctl/control.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

#include "diag/odl_commands.h"

std::string under(const std::string& root, const char* device_path) { return root + device_path; }

pipe_state probe_flush_pipe(const std::string& path, unique_fd& writer) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return errno == EACCES ? pipe_state::not_permitted : pipe_state::missing;
  }
  if (S_ISLNK(status.st_mode)) {
    return pipe_state::a_link;
  }
  if (!S_ISFIFO(status.st_mode)) {
    return pipe_state::not_a_fifo;
  }
  writer.reset(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!writer.ok()) {
    switch (errno) {
      case ENXIO:
        return pipe_state::not_served;
      case EACCES:
      case EPERM:
        return pipe_state::not_permitted;
      case ELOOP:
        return pipe_state::a_link;
      default:
        return pipe_state::missing;
    }
  }
  // Replaced meanwhile by something that is not a FIFO: write nothing into it.
  if (fstat(writer.get(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
    writer.reset();
    return pipe_state::not_a_fifo;
  }
  return pipe_state::served;
}

std::string command_file::open(const std::string& path, bool writable) {
  path_ = path;
  // O_NONBLOCK: a FIFO put there opens at once and is refused below.
  file_.reset(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK |
                                       O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!file_.ok()) {
    const int error = errno;
    if (error == ENOENT) {
      return "no command file " + path + ": the daemon has not set it up (is it running?)";
    }
    return error == ELOOP ? "command file " + path + " is a symbolic link: not followed"
                          : "cannot open " + path + ": " + std::strerror(error);
  }
  if (fstat(file_.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    file_.reset();
    return "command file " + path + " is not a regular file: left alone";
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

std::pair<std::string, std::string> command_file::command() const {
  char prefix[4096];
  const ssize_t length = pread(file_.get(), prefix, sizeof prefix, 0);
  const std::string_view text(prefix, static_cast<size_t>(std::max<ssize_t>(length, 0)));
  std::string lines[2];
  size_t found = 0;
  for (size_t start = 0; found < 2 && start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (end > start) {
      lines[found++] = text.substr(start, end - start);
    }
    start = end + 1;
  }
  return {lines[0], lines[1]};
}

std::string command_file::write(const std::string& command, bool packets) const {
  const std::string lines = command + "\n" + (packets ? packets_option : "default") + "\n";
  struct stat status {};
  if (fstat(file_.get(), &status) != 0 ||
      pwrite(file_.get(), lines.data(), lines.size(), 0) != static_cast<ssize_t>(lines.size())) {
    return "cannot write " + path_ + ": " + std::strerror(errno);
  }
  // Cut only what is left of a longer command: every change wakes the daemon.
  if (status.st_size > static_cast<off_t>(lines.size()) &&
      ftruncate(file_.get(), static_cast<off_t>(lines.size())) != 0) {
    return "cannot cut " + path_ + ": " + std::strerror(errno);
  }
  return "";
}
