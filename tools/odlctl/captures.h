// The capture directories under the sensors directory, as odlctl sees them.
#pragma once

#include <ctime>
#include <string>
#include <vector>

struct capture {
  std::string path;
  size_t files = 0;  // regular files directly inside
  unsigned long long bytes = 0;
  std::time_t newest = 0;  // modification time of the newest file; 0 without files
  bool operator==(const capture&) const = default;
};

// The capture directories that `prefix` (a directory and the start of the
// names, "/data/vendor/sensors/odl_sns_" under a root) gives, newest first: a
// directory's name is its start time.
std::vector<capture> list_captures(const std::string& prefix);

// The paths of the directories of `now` that are new or changed since `before`.
std::vector<std::string> changed_since(const std::vector<capture>& before, const std::vector<capture>& now);
