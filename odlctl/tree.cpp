#include "odlctl/tree.h"

#include <dirent.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <memory>

using android::base::unique_fd;

namespace {

// Deeper directories are named, not entered: the descriptors held on the way
// down stay few.
constexpr int max_depth = 32;

struct walk {
  struct statx top;
  const std::function<void(const tree_entry&)>& entry;
  const std::function<void(const std::string&, int)>& problem;

  // A directory's contents, then the directory itself. Its depth bounds the recursion.
  void down(const tree_entry& dir, int depth) const {  // NOLINT(misc-no-recursion)
    const unique_fd fd(
        openat(dir.parent, dir.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> names;
    const int error = depth > max_depth ? ELOOP : fd.ok() ? list_directory(fd.get(), names) : errno;
    if (error != 0 && error != ENOENT) problem(dir.path, error);
    for (const std::string& name : error == 0 ? names : std::vector<std::string>()) {
      tree_entry inner{fd.get(), name, dir.path, {}};
      inner.path.append("/").append(name);
      const int failed = status_of(fd.get(), name, inner.status);
      if (failed != 0 || !same_mount(top, inner.status)) {
        if (failed != ENOENT) problem(inner.path, failed != 0 ? failed : EXDEV);
      } else if (S_ISDIR(inner.status.stx_mode)) {
        down(inner, depth + 1);
      } else {
        entry(inner);
      }
    }
    if (error == 0) entry(dir);
  }
};

}  // namespace

void walk_tree(int parent, const std::string& name, const std::string& path,
               const std::function<void(const tree_entry&)>& entry,
               const std::function<void(const std::string&, int)>& problem) {
  tree_entry top{parent, name, path, {}};
  const int error = status_of(parent, name, top.status);
  if (error == 0 && S_ISDIR(top.status.stx_mode)) {
    walk{top.status, entry, problem}.down(top, 0);
  } else if (error != ENOENT) {
    problem(path, error != 0 ? error : ENOTDIR);
  }
}

int list_directory(int dir, std::vector<std::string>& names) {
  // closedir closes the descriptor it reads: give it one of its own.
  unique_fd own(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(
      own.ok() ? android::base::Fdopendir(std::move(own)) : nullptr, closedir);
  if (!listing) return errno;
  errno = 0;
  while (const dirent* found = readdir(listing.get())) {
    const std::string name = found->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  return errno;
}

int status_of(int parent, const std::string& name, struct statx& status) {
  const int flags = AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH;
  const unsigned int wanted = STATX_BASIC_STATS | STATX_MNT_ID;
  return statx(parent, name.c_str(), flags, wanted, &status) == 0 ? 0 : errno;
}

file_id id_of(const struct statx& status) {
  return {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
}

wall_time modified(const struct statx& status) {
  const auto since_epoch = std::chrono::seconds(status.stx_mtime.tv_sec) +
                           std::chrono::nanoseconds(status.stx_mtime.tv_nsec);
  return wall_time(std::chrono::duration_cast<wall_time::duration>(since_epoch));
}

bool same_mount(const struct statx& top, const struct statx& inner) {
  // Some emulators tell only the mount root attribute, not the mount id.
  const bool mount_root = (inner.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return !mount_root && inner.stx_mnt_id == top.stx_mnt_id &&
         inner.stx_dev_major == top.stx_dev_major && inner.stx_dev_minor == top.stx_dev_minor;
}
