#include "tools/odlctl/prune.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "daemon/unique_fd.h"
#include "diag/sensors_paths.h"
#include "tools/odlctl/captures.h"
#include "tools/odlctl/control.h"

namespace {

// Deeper directories inside a capture are left, named: the descriptors held
// on the way down stay few.
constexpr int max_depth = 16;

// Removes (or with `dry_run` only measures) the directory `name` in `parent`
// and all it holds, adding the sizes of its regular files to `bytes`. Goes on
// past what cannot be removed; returns the first error, "" when none.
std::string remove_tree(int parent, const std::string& name, const std::string& path, bool dry_run,
                        int depth, unsigned long long& bytes) {
  const unique_fd dir(
      openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<entry> entries;
  if (const int error = dir.ok() ? read_entries(dir.get(), entries) : errno; error != 0) {
    return "cannot read " + path + ": " + std::strerror(error);
  }
  std::string first_error;
  for (const entry& e : entries) {
    const std::string inner = path + "/" + e.name;
    std::string error;
    if (S_ISDIR(e.status.st_mode)) {
      error = depth < max_depth ? remove_tree(dir.get(), e.name, inner, dry_run, depth + 1, bytes)
                                : inner + " is nested too deep: left";
    } else if (!dry_run && unlinkat(dir.get(), e.name.c_str(), 0) != 0) {
      error = "cannot remove " + inner + ": " + std::strerror(errno);
    } else if (S_ISREG(e.status.st_mode)) {
      bytes += static_cast<unsigned long long>(e.status.st_size);
    }
    if (first_error.empty()) {
      first_error = error;
    }
  }
  if (first_error.empty() && !dry_run && unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
    first_error = "cannot remove " + path + ": " + std::strerror(errno);
  }
  return first_error;
}

}  // namespace

int prune(const arguments& args) {
  const std::string prefix = under(args.root, capture_directory_prefix);
  const std::string sensors = under(args.root, sensors_directory);
  const capture_listing before = list_captures(prefix);
  if (before.captures.size() > static_cast<size_t>(args.keep)) {
    std::this_thread::sleep_for(growth_window);
  }
  const capture_listing now = list_captures(prefix);
  if (!now.error.empty()) {
    return fail(now.error);
  }
  const std::vector<std::string> growing = changed_since(before.captures, now.captures);
  const unique_fd parent(open(sensors.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int result = parent.ok() ? 0 : fail("cannot open " + sensors + ": " + std::strerror(errno));
  unsigned long long freed = 0;
  for (size_t i = static_cast<size_t>(args.keep); parent.ok() && i < now.captures.size(); ++i) {
    const std::string& path = now.captures[i].path;
    if (contains(growing, path)) {
      std::printf("kept: %s (growing)\n", path.c_str());
      continue;
    }
    unsigned long long bytes = 0;
    const std::string error =
        remove_tree(parent.get(), path.substr(sensors.size() + 1), path, args.dry_run, 0, bytes);
    freed += bytes;
    if (!error.empty()) {
      result = fail(error);
      continue;
    }
    std::printf("%s: %s (%llu bytes)\n", args.dry_run ? "would remove" : "removed", path.c_str(),
                bytes);
  }
  std::printf("%s %llu bytes\n", args.dry_run ? "would free" : "freed", freed);
  return result;
}
