#include "tools/odlctl/control.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "diag/odl_commands.h"

std::string under(const std::string& root, const char* device_path) { return root + device_path; }

pipe_state probe_flush_pipe(const std::string& path, unique_fd& writer) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return pipe_state::missing;
  }
  if (!S_ISFIFO(status.st_mode)) {
    return pipe_state::not_a_fifo;
  }
  writer.reset(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!writer.ok()) {
    return errno == ENXIO ? pipe_state::not_served : pipe_state::missing;
  }
  // Replaced meanwhile by something that is not a FIFO: write nothing into it.
  if (fstat(writer.get(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
    writer.reset();
    return pipe_state::not_a_fifo;
  }
  return pipe_state::served;
}

std::pair<std::string, std::string> first_lines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::pair<std::string, std::string> lines;
  std::getline(std::getline(file, lines.first), lines.second);
  return lines;
}

std::string write_command(const std::string& path, const std::string& command, bool packets) {
  const std::string lines = command + "\n" + (packets ? packets_option : "default") + "\n";
  const unique_fd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  struct stat status {};
  if (!file.ok() || fstat(file.get(), &status) != 0 ||
      pwrite(file.get(), lines.data(), lines.size(), 0) != static_cast<ssize_t>(lines.size())) {
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  // Cut only what is left of a longer command: every change wakes the daemon.
  if (status.st_size > static_cast<off_t>(lines.size()) &&
      ftruncate(file.get(), static_cast<off_t>(lines.size())) != 0) {
    return "cannot cut " + path + ": " + std::strerror(errno);
  }
  return "";
}
