// The capture directories under the sensors directory, as odlctl sees them.
// Nothing here follows a symbolic link: a link named like a capture directory
// is not one, and neither is anything a link inside one points to.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

struct capture {
  std::string path;
  size_t files = 0;  // regular files directly inside
  unsigned long long bytes = 0;
  std::time_t newest = 0;  // modification time of the newest file; 0 without files
  int error = 0;           // errno of reading the directory; 0 when it was read
  bool operator==(const capture&) const = default;
};

struct capture_listing {
  std::vector<capture> captures;  // newest first: a directory's name is its start time
  std::string error;              // why the sensors directory could not be listed; "" when it was
};

// The capture directories that `prefix` (the sensors directory and the start
// of the names, "/data/vendor/sensors/odl_sns_" under a root) gives: real
// directories whose names go on with a time stamp as the daemon writes it.
capture_listing list_captures(const std::string& prefix);

// Why `listing` tells nothing about growth: the first directory it could not
// read, named; "" when it read every one.
std::string unreadable(const capture_listing& listing);

// The paths of the directories of `now` that are new or changed since `before`.
std::vector<std::string> changed_since(const std::vector<capture>& before,
                                       const std::vector<capture>& now);

bool contains(const std::vector<std::string>& paths, const std::string& path);

struct entry {
  std::string name;
  struct stat status;  // of the entry itself, a link not followed
};

// The entries of the directory open at `dir` but "." and ".." into `entries`;
// 0, or the errno of reading it.
int read_entries(int dir, std::vector<entry>& entries);
