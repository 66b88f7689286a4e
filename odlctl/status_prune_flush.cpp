// odlctl status, prune and flush.
#include <android-base/stringprintf.h>
#include <android-base/strings.h>
#include <android-base/unique_fd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "odlctl/commands.h"
#include "odlctl/tree.h"

using android::base::StringPrintf;
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
  const snapshot s = read_device(args.root);
  if (s.captures.empty() && !s.sensors_error.empty()) return fail(s.sensors_error);
  const int config = s.config_error;
  const std::string configured = config == 0 ? "present"
                                 : config == ENOENT
                                     ? "missing"
                                     : "cannot be told: " + std::string(std::strerror(config));
  std::string out = "capture configuration " + s.root + odl::diag_cfg_path + ": " + configured +
                    "\nflush pipe " + s.root + odl::flush_pipe_path + ": " +
                    pipe_text(s.pipe, s.pipe_error) + "\n";
  if (s.command.command.what != odl::action::none) {
    out += "last command: " + command_name(s.command.command) + ", written " +
           age_text(s.command.written, s.now) + "\n";
  }
  if (s.space) {
    out += StringPrintf("free space: %llu of %llu bytes\n", s.space->first, s.space->second);
  }
  if (s.processes.blind.any()) {
    out += "unseen: " + blind_text(s.processes.blind) +
           ": a capture without a capture tool seen is unknown\n";
  }
  std::vector<std::string> problems = {s.command.error, s.sensors_error};
  unsigned long long bytes = 0;
  size_t files = 0;
  std::string lines;
  for (const capture& c : s.captures) {
    const tree_figures tree = c.tree.value_or(tree_figures{});
    lines += "  " + c.path + "  " + state_text(s, c);
    if (!c.mount_point && !tree.error.empty()) problems.push_back("cannot read " + tree.error);
    if (c.mount_point || !tree.error.empty()) {
      lines += c.mount_point ? "  a mount point: another file system, not counted"
                             : "  cannot read " + tree.error;
    } else {
      bytes += tree.bytes;
      files += tree.files;
      lines += StringPrintf("  %llu bytes  %zu files  newest write %s", tree.bytes, tree.files,
                            age_text(tree.newest, s.now).c_str());
    }
    for (const guard_process& g : s.processes.guards) {
      const auto in = std::chrono::duration_cast<std::chrono::seconds>(g.stop_at - s.now).count();
      const std::string when =
          in >= 0 ? StringPrintf("in %lld s", static_cast<long long>(in)) : "due";
      if (std::find(g.holds.begin(), g.holds.end(), c.id) != g.holds.end()) {
        lines += StringPrintf("  guard pid %d stops it at %s (%s)", g.pid,
                              clock_text(g.stop_at, s.now).c_str(), when.c_str());
      }
    }
    lines += "\n";
    for (const std::string& mount : tree.mounts) {
      lines += "    " + mount + ": another file system, not counted\n";
    }
  }
  out += StringPrintf("capture directories, newest first: %zu (%llu bytes, %zu files)\n",
                      s.captures.size(), bytes, files) +
         lines;
  for (const capture_tool& tool : s.processes.tools) {
    const auto into = [&tool](const capture& c) {
      return std::find(tool.writes_into.begin(), tool.writes_into.end(), c.id) !=
             tool.writes_into.end();
    };
    if (std::none_of(s.captures.begin(), s.captures.end(), into)) {
      out += "other capture tool: " + tools_text(s, {tool}) + "\n";
    }
  }
  problems.erase(std::remove(problems.begin(), problems.end(), ""), problems.end());
  return print({problems.empty() ? 0 : 1, out, android::base::Join(problems, "\n")});
}

int prune(const arguments& args) {
  const snapshot s = read_device(args.root);
  std::string error;
  const unique_fd sensors = open_sensors(args.root, error);
  if (!s.sensors_error.empty() || !sensors.ok()) {
    return fail(s.sensors_error.empty() ? error : s.sensors_error);
  }
  int status = 0;
  unsigned long long freed = 0;
  link_count links;
  for (size_t i = args.keep; i < s.captures.size(); ++i) {
    const capture& c = s.captures[i];
    const tree_figures tree = c.tree.value_or(tree_figures{});
    const std::string kept = c.mount_point ? "a mount point: another file system, left"
                             : c.state != run_state::finished ? state_text(s, c)
                             : !tree.error.empty()            ? "cannot read " + tree.error
                             : c.grows ? "growing: newest write " + age_text(tree.newest, s.now)
                                       : "";
    if (!kept.empty()) std::printf("kept: %s (%s)\n", c.path.c_str(), kept.c_str());
    status = !tree.error.empty() ? 1 : status;
    if (!kept.empty()) continue;
    const auto [bytes, whole] = remove_capture(sensors.get(), c, args.dry_run, links);
    const char* verb = whole ? (args.dry_run ? "would remove" : "removed")
                             : (args.dry_run ? "would partly remove" : "partly removed");
    std::printf("%s: %s (%llu bytes)\n", verb, c.path.c_str(), bytes);
    freed += bytes;
    status = whole ? status : 1;
  }
  std::printf("%s %llu bytes\n", args.dry_run ? "would free" : "freed", freed);
  return status;
}

int request_flush(int writer, const std::string& path) {
  // A reader that goes away between the open and the write is an error to
  // name, not a reason to die.
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
  if (write(writer, "1", 1) != 1) {
    const int failed = errno;
    const char* reason = failed == EPIPE    ? "its reader went away"
                         : failed == EAGAIN ? "the pipe is full"
                                            : "the write failed";
    return fail("cannot write into " + path + ": " + reason + " (" + std::strerror(failed) + ")");
  }
  return print({0, "flush requested\n", ""});
}

int flush(const arguments& args) {
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
  return request_flush(writer.get(), path);
}
