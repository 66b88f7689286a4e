#include "tools/odlctl/tree_walk.h"

#include <android-base/unique_fd.h>
#include <dirent.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

using android::base::unique_fd;

namespace {

// Deeper directories are named, not entered: the descriptors held on the way
// down stay few.
constexpr int max_depth = 32;

struct dir_closer {
  void operator()(DIR* dir) const { closedir(dir); }
};

// A mount point inside, a bind mount of the same file system included, has a
// mount of its own; some emulators tell only the mount root attribute.
bool same_file_system(const struct statx& top, const struct statx& inner) {
  const bool mount_root = (inner.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return !mount_root && inner.stx_mnt_id == top.stx_mnt_id &&
         inner.stx_dev_major == top.stx_dev_major && inner.stx_dev_minor == top.stx_dev_minor;
}

void walk(int parent, const std::string& name, const std::string& path, const struct statx& top,
          const struct statx& own, int depth, const tree_visitor& visitor) {
  if (depth > max_depth) {
    visitor.error(path, "nested too deep, not entered");
    return;
  }
  const unique_fd dir(
      openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<std::string> names;
  const int error = dir.ok() ? list_directory(dir.get(), names) : errno;
  if (error != 0) {
    visitor.error(path, std::strerror(error));
    return;
  }
  for (const std::string& inner : names) {
    const std::string inner_path = path + "/" + inner;
    struct statx status {};
    if (const int failed = status_of(dir.get(), inner, status); failed != 0) {
      visitor.error(inner_path, std::strerror(failed));
    } else if (!same_file_system(top, status)) {
      visitor.mount(inner_path);
    } else if (S_ISDIR(status.stx_mode)) {
      walk(dir.get(), inner, inner_path, top, status, depth + 1, visitor);
    } else {
      visitor.entry({dir.get(), inner, inner_path, status});
    }
  }
  visitor.entry({parent, name, path, own});
}

}  // namespace

int list_directory(int dir, std::vector<std::string>& names) {
  // readdir closes what it reads: give it a descriptor of its own.
  unique_fd own(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::unique_ptr<DIR, dir_closer> listing(own.ok() ? fdopendir(own.get()) : nullptr);
  if (!listing) {
    return errno;
  }
  [[maybe_unused]] const int listed = own.release();  // the listing owns it now
  errno = 0;
  while (const dirent* found = readdir(listing.get())) {
    const std::string name = found->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
    errno = 0;
  }
  return errno;
}

file_id id_of(const struct statx& status) {
  return {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
}

int status_of(int parent, const std::string& name, struct statx& status) {
  const unsigned int wanted = STATX_BASIC_STATS | STATX_MNT_ID;
  return statx(parent, name.c_str(), AT_SYMLINK_NOFOLLOW, wanted, &status) == 0 ? 0 : errno;
}

void walk_tree(int parent, const std::string& name, const std::string& path,
               const tree_visitor& visitor) {
  struct statx top {};
  if (const int error = status_of(parent, name, top); error != 0) {
    visitor.error(path, std::strerror(error));
    return;
  }
  if (!S_ISDIR(top.stx_mode)) {
    visitor.error(path, std::strerror(ENOTDIR));
    return;
  }
  walk(parent, name, path, top, top, 0, visitor);
}
