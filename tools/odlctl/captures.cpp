#include "tools/odlctl/captures.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "daemon/unique_fd.h"

namespace {

struct dir_closer {
  void operator()(DIR* dir) const { closedir(dir); }
};

// "%Y_%m_%d_%H_%M_%S" as the daemon writes it, or its name for a start whose
// local time was unknown.
bool is_stamp(std::string_view text) {
  constexpr std::string_view shape = "dddd_dd_dd_dd_dd_dd";
  return text == "date_time" ||
         std::equal(shape.begin(), shape.end(), text.begin(), text.end(), [](char want, char c) {
           return want == '_' ? c == '_' : std::isdigit(static_cast<unsigned char>(c)) != 0;
         });
}

void read_capture(int sensors, const std::string& name, capture& c) {
  const unique_fd dir(
      openat(sensors, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<entry> entries;
  c.error = dir.ok() ? read_entries(dir.get(), entries) : errno;
  for (const entry& e : entries) {
    if (S_ISREG(e.status.st_mode)) {
      ++c.files;
      c.bytes += static_cast<unsigned long long>(e.status.st_size);
      c.newest = std::max(c.newest, e.status.st_mtime);
    }
  }
}

}  // namespace

int read_entries(int dir, std::vector<entry>& entries) {
  // readdir closes what it reads: give it a descriptor of its own.
  unique_fd own(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::unique_ptr<DIR, dir_closer> listing(own.ok() ? fdopendir(own.get()) : nullptr);
  if (!listing) {
    return errno;
  }
  own.release();
  errno = 0;
  while (const dirent* found = readdir(listing.get())) {
    entry e{found->d_name, {}};
    if (e.name != "." && e.name != ".." &&
        fstatat(dir, found->d_name, &e.status, AT_SYMLINK_NOFOLLOW) == 0) {
      entries.push_back(e);
    }
    errno = 0;
  }
  return errno;
}

capture_listing list_captures(const std::string& prefix) {
  const size_t slash = prefix.rfind('/');
  const std::string directory = prefix.substr(0, slash);
  const std::string name_prefix = prefix.substr(slash + 1);
  capture_listing listing;
  const unique_fd sensors(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<entry> entries;
  if (const int error = sensors.ok() ? read_entries(sensors.get(), entries) : errno; error != 0) {
    listing.error = "cannot read " + directory + ": " + std::strerror(error);
  }
  for (const entry& e : entries) {
    if (S_ISDIR(e.status.st_mode) && e.name.rfind(name_prefix, 0) == 0 &&
        is_stamp(std::string_view(e.name).substr(name_prefix.size()))) {
      capture c{directory + "/" + e.name};
      read_capture(sensors.get(), e.name, c);
      listing.captures.push_back(c);
    }
  }
  std::sort(listing.captures.begin(), listing.captures.end(),
            [](const capture& a, const capture& b) { return a.path > b.path; });
  return listing;
}

std::string unreadable(const capture_listing& listing) {
  for (const capture& c : listing.captures) {
    if (c.error != 0) {
      return "cannot read " + c.path + ": " + std::strerror(c.error);
    }
  }
  return listing.error;
}

std::vector<std::string> changed_since(const std::vector<capture>& before,
                                       const std::vector<capture>& now) {
  std::vector<std::string> changed;
  for (const capture& c : now) {
    if (std::find(before.begin(), before.end(), c) == before.end()) {
      changed.push_back(c.path);
    }
  }
  return changed;
}

bool contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}
