// odlctl status, prune and flush.
#include <android-base/unique_fd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "interfaces/odl_protocol.h"
#include "odlctl/commands.h"
#include "odlctl/tree.h"

using android::base::unique_fd;

namespace {

// Each file met in the directories pruned: its names met so far, and how many
// it had when first met. It is freed once all are met, whichever directory
// holds the last: a removal, where each unlink lowers the count that later
// names show, and a dry run count the same.
using link_count = std::map<file_id, std::pair<nlink_t, nlink_t>>;

// Removes the capture directory `c` (with `dry_run` only counts it): all of
// it on its own file system. What is left is named on standard error.
// Returns the allocated bytes freed, and whether nothing was left.
std::pair<unsigned long long, bool> remove_capture(int sensors, const capture& c, bool dry_run,
                                                   link_count& links) {
  unsigned long long freed = 0;
  bool whole = true;
  const auto entry = [&](const tree_entry& e) {
    const bool directory = S_ISDIR(e.status.stx_mode);
    if (!dry_run && unlinkat(e.parent, e.name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
      // Gone already, or a directory left non-empty where something in it was named already.
      if (errno != ENOENT && !(directory && errno == ENOTEMPTY && !whole)) {
        fail("cannot remove " + e.path + ": " + std::strerror(errno));
      }
      whole = whole && errno == ENOENT;
      return;
    }
    auto& [met, had] = links.try_emplace(id_of(e.status), 0, e.status.stx_nlink).first->second;
    freed += !directory && ++met == had ? e.status.stx_blocks * 512 : 0;
  };
  walk_tree(sensors, c.name, c.path, entry, [&whole](const std::string& path, int error) {
    fail(error == EXDEV ? path + " is another file system: left"
                        : "cannot read " + path + ": " + std::strerror(error));
    whole = false;
  });
  return {freed, whole};
}

}  // namespace

int status(const arguments& args) {
  return print(status_report(read_device(args.root, read_trees | read_processes | read_command |
                                                        read_config | read_guards | read_extras)));
}

int prune(const arguments& args) {
  const snapshot s = read_device(args.root, read_trees | read_processes);
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  if (!s.sensors_error.empty() || !sensors.ok()) {
    return fail(s.sensors_error.empty() ? error : s.sensors_error);
  }
  int status = 0;
  unsigned long long freed = 0;
  link_count links;
  for (const auto& [c, kept] : plan_prune(s, args.keep)) {
    if (kept != keep_reason::none) {
      std::printf("kept: %s (%s)\n", c->path.c_str(), kept_text(s, *c, kept).c_str());
      status = kept == keep_reason::unreadable ? 1 : status;
      continue;
    }
    const auto [bytes, whole] = remove_capture(sensors.get(), *c, args.dry_run, links);
    const char* verb = whole ? (args.dry_run ? "would remove" : "removed")
                             : (args.dry_run ? "would partly remove" : "partly removed");
    std::printf("%s: %s (%llu bytes)\n", verb, c->path.c_str(), bytes);
    freed += bytes;
    status = whole ? status : 1;
  }
  std::printf("%s %llu bytes\n", args.dry_run ? "would free" : "freed", freed);
  return status;
}

int flush(const arguments& args) {
  // A reader that goes away between the open and the write is an error to
  // name, not a reason to die.
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
  const std::string path = args.root + odl::flush_pipe_path;
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  unique_fd writer;
  int why = 0;
  const pipe_state state =
      sensors.ok() ? probe_flush_pipe(sensors.get(), &writer, why) : pipe_state::failed;
  if (!sensors.ok()) return fail(error);
  if (state != pipe_state::served) {
    const bool absent = state == pipe_state::missing || state == pipe_state::not_served;
    return fail("flush pipe " + path + ": " + pipe_text(state, why) +
                (absent ? ", is the daemon running?" : ", nothing written into it"));
  }
  if (write(writer.get(), "1", 1) != 1) {
    const int failed = errno;
    const char* reason = failed == EPIPE    ? "its reader went away"
                         : failed == EAGAIN ? "the pipe is full"
                                            : "the write failed";
    return fail("cannot write into " + path + ": " + reason + " (" + std::strerror(failed) + ")");
  }
  std::printf("flush requested\n");
  return 0;
}
