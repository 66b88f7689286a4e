#include "tests/fakes/device_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

void write_file(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) {
    throw std::runtime_error("cannot write " + path);
  }
}

void write_over(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool whole = fd >= 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  if (fd >= 0) {
    close(fd);
  }
  if (!whole) {
    throw std::runtime_error("cannot write over " + path);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void add_remoteproc(const std::string& entry, const std::string& name) {
  const std::string dir = "/sys/class/remoteproc/" + entry;
  mkdir(dir.c_str(), 0755);
  write_file(dir + "/name", name);
}
