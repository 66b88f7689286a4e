// Walks a directory's whole tree without following anything: links, FIFOs
// and devices are entries, never opened; a directory or file that is another
// file system (a mount point, a bind mount included) is named and never
// entered, as `rm --one-file-system` does.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/odlctl/device.h"

struct tree_entry {
  int parent;  // the open directory that holds it
  const std::string& name;
  const std::string& path;
  const struct statx& status;  // of the entry itself
};

struct tree_visitor {
  // Every entry of the tree's own file system, a directory after its contents.
  std::function<void(const tree_entry&)> entry;
  // A path inside that is another file system: neither entered nor visited.
  std::function<void(const std::string& path)> mount;
  // A path that could not be read, and why.
  std::function<void(const std::string& path, const std::string& why)> error;
};

// Walks the directory `name` in the open directory `parent`, shown as `path`,
// and ends with the entry of that directory itself.
void walk_tree(int parent, const std::string& name, const std::string& path,
               const tree_visitor& visitor);

// The names in the open directory `dir` but "." and ".."; the errno of
// reading it, 0 when it was read whole.
int list_directory(int dir, std::vector<std::string>& names);

// The file a statx names.
file_id id_of(const struct statx& status);

// statx of `name` in `parent`, not followed; the errno, 0 on success.
int status_of(int parent, const std::string& name, struct statx& status);
