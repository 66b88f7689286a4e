#include "tools/odlctl/sensors_dir.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "diag/sensors_paths.h"

sensors_dir open_sensors(const std::string& root) {
  sensors_dir dir{
      unique_fd(open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      root + sensors_directory, ""};
  std::string reached = root;
  std::istringstream components(sensors_directory);
  for (std::string name; dir.fd.ok() && std::getline(components, name, '/');) {
    if (!name.empty()) {
      reached += "/" + name;
      dir.fd.reset(
          openat(dir.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
  }
  if (!dir.fd.ok()) {
    const int error = errno;
    const bool link = error == ELOOP || error == ENOTDIR;
    dir.error = "cannot read " + dir.path + ": " +
                (link ? reached + " is a symbolic link or no directory: not followed"
                      : std::strerror(error));
  }
  return dir;
}

std::string name_in_sensors(const char* device_path) {
  const std::string path = device_path;
  return path.substr(path.rfind('/') + 1);
}
