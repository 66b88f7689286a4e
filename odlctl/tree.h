// Walking a directory's tree without following anything: links, FIFOs and
// devices are entries, never opened; a directory or file that is another
// file system (a mount point, a bind mount included) is named and never
// entered, as `rm --one-file-system` does. An entry gone by the time it is
// looked at is simply not there.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "odlctl/read_device.h"

struct tree_entry {
  int parent;  // the open directory that holds it
  std::string name;
  std::string path;
  struct statx status;  // of the entry itself
};

// Walks the directory `name` in the open directory `parent`, shown as `path`:
// `entry` for each entry, a directory after its contents and the walked one
// last; `problem` for a path that could not be read (with its errno) or that
// is another file system (EXDEV).
void walk_tree(int parent, const std::string& name, const std::string& path,
               const std::function<void(const tree_entry&)>& entry,
               const std::function<void(const std::string& path, int error)>& problem);

// The names in the open directory `dir` but "." and ".."; the errno of
// reading it, 0 when it was read whole.
int list_directory(int dir, std::vector<std::string>& names);

// statx of `name` in `parent` (of `parent` itself for ""), not followed; the
// errno, 0 on success.
int status_of(int parent, const std::string& name, struct statx& status);

file_id id_of(const struct statx& status);
wall_time modified(const struct statx& status);

// Whether `inner`, met inside `top`, is on the same mount: a mount point, a
// bind mount of the same file system included, is not.
bool same_mount(const struct statx& top, const struct statx& inner);
