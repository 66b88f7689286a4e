#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "tools/odlctl/commands.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/read_device.h"
#include "tools/odlctl/sensors_dir.h"
#include "tools/odlctl/tree_walk.h"

namespace {

struct removal {
  unsigned long long freed = 0;
  bool whole = true;  // nothing was left behind
};

// Removes the capture directory `c` (or with `dry_run` only measures it):
// everything in it on its own file system, counting the allocated blocks of
// each file once its last link is gone. What is left is named on standard
// error; the walk goes on past it.
removal remove_capture(int sensors, const capture& c, bool dry_run) {
  removal result;
  // Per file: its links met so far, and how many it had when first met
  // (each removal lowers the count that later names show).
  std::map<std::pair<dev_t, ino_t>, std::pair<unsigned, unsigned>> links;
  tree_visitor visitor;
  visitor.entry = [&](const tree_entry& e) {
    const bool directory = S_ISDIR(e.status.stx_mode);
    if (!dry_run && unlinkat(e.parent, e.name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
      // A directory is left non-empty only where something in it was left, named already.
      if (!(directory && errno == ENOTEMPTY && !result.whole)) {
        fail("cannot remove " + e.path + ": " + std::strerror(errno));
      }
      result.whole = false;
      return;
    }
    const file_id id = id_of(e.status);
    const auto [known, first] = links.try_emplace({id.dev, id.ino}, 0, e.status.stx_nlink);
    if (!directory && ++known->second.first == known->second.second) {
      result.freed += e.status.stx_blocks * 512;
    }
  };
  visitor.mount = [&result](const std::string& path) {
    fail(path + " is another file system: left");
    result.whole = false;
  };
  visitor.error = [&result](const std::string& path, const std::string& why) {
    fail("cannot read " + path + ": " + why);
    result.whole = false;
  };
  walk_tree(sensors, c.name, c.path, visitor);
  return result;
}

}  // namespace

int prune(const arguments& args) {
  const snapshot s = read_device(args.root, read_trees | read_processes);
  if (!s.sensors_error.empty()) {
    return fail(s.sensors_error);
  }
  const sensors_dir dir = open_sensors(args.root);
  const unique_fd& sensors = dir.fd;
  if (!sensors.ok()) {
    return fail(dir.error);
  }
  int status = 0;
  unsigned long long freed = 0;
  for (const prune_step& step : plan_prune(s, static_cast<size_t>(args.keep))) {
    if (!step.kept_because.empty()) {
      std::printf("kept: %s (%s)\n", step.target->path.c_str(), step.kept_because.c_str());
      continue;
    }
    const removal done = remove_capture(sensors.get(), *step.target, args.dry_run);
    const std::string what = done.whole ? "remove" : "partly remove";
    const std::string verb = args.dry_run ? "would " + what : what + "d";
    std::printf("%s: %s (%llu bytes)\n", verb.c_str(), step.target->path.c_str(), done.freed);
    freed += done.freed;
    status = done.whole ? status : 1;
  }
  std::printf("%s %llu bytes\n", args.dry_run ? "would free" : "freed", freed);
  return status;
}
