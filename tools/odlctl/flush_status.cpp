#include "tools/odlctl/flush_status.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "diag/odl_commands.h"
#include "tools/odlctl/captures.h"

std::string describe(pipe_state state) {
  switch (state) {
    case pipe_state::served:
      return "served";
    case pipe_state::missing:
      return "missing";
    case pipe_state::not_permitted:
      return "not permitted (this user may not write into it)";
    case pipe_state::a_link:
      return "a symbolic link, not followed";
    case pipe_state::not_a_fifo:
      return "not a FIFO";
    case pipe_state::not_served:
      return "not served (nothing reads it)";
  }
  return "";
}

int flush(const arguments& args) {
  const std::string path = under(args.root, flush_pipe_path);
  unique_fd writer;
  const pipe_state state = probe_flush_pipe(path, writer);
  if (state != pipe_state::served) {
    const bool daemon_absent = state == pipe_state::missing || state == pipe_state::not_served;
    return fail("flush pipe " + path + ": " + describe(state) +
                (daemon_absent ? ", is the daemon running?" : ", nothing written into it"));
  }
  if (write(writer.get(), "1", 1) != 1) {
    return fail("cannot write into " + path);
  }
  std::printf("flush requested\n");
  return 0;
}

int status(const arguments& args) {
  const std::string cfg = under(args.root, diag_cfg_path);
  const std::string pipe = under(args.root, flush_pipe_path);
  const std::string prefix = under(args.root, capture_directory_prefix);
  const std::string sensors = under(args.root, sensors_directory);
  int result = 0;
  unique_fd writer;
  std::printf("capture configuration %s: %s\n", cfg.c_str(),
              access(cfg.c_str(), F_OK) == 0 ? "present" : "missing");
  std::printf("flush pipe %s: %s\n", pipe.c_str(),
              describe(probe_flush_pipe(pipe, writer)).c_str());
  command_file file;
  if (const std::string error = file.open(under(args.root, odl_command_file), false);
      !error.empty()) {
    result = fail(error);
  } else if (const auto [last, last_option] = file.command(); last == "star" || last == "stop") {
    std::printf("last command: %s%s\n", last == "star" ? "start" : "stop",
                last_option == packets_option ? " --packets" : "");
  }
  if (struct statvfs space{}; statvfs(sensors.c_str(), &space) == 0) {
    std::printf("free space: %llu of %llu bytes\n",
                static_cast<unsigned long long>(space.f_bavail) * space.f_frsize,
                static_cast<unsigned long long>(space.f_blocks) * space.f_frsize);
  } else {
    result = fail("cannot measure the space of " + sensors + ": " + std::strerror(errno));
  }
  const capture_listing before = list_captures(prefix);
  std::this_thread::sleep_for(growth_window);
  const capture_listing now = list_captures(prefix);
  if (!now.error.empty()) {
    return fail(now.error);
  }
  const std::vector<std::string> growing = changed_since(before.captures, now.captures);
  unsigned long long total = 0;
  for (const capture& c : now.captures) {
    total += c.bytes;
  }
  std::printf("capture directories, newest first: %zu (%llu bytes)\n", now.captures.size(), total);
  for (const capture& c : now.captures) {
    if (c.error != 0) {
      std::printf("  %s  cannot read: %s\n", c.path.c_str(), std::strerror(c.error));
      result = fail("cannot read " + c.path + ": " + std::strerror(c.error));
      continue;
    }
    std::printf("  %s  %llu bytes  %zu files", c.path.c_str(), c.bytes, c.files);
    if (c.files > 0) {
      std::printf("  newest %lld s old", static_cast<long long>(std::time(nullptr) - c.newest));
    }
    std::printf("  %s\n", contains(growing, c.path) ? "growing" : "not growing");
  }
  return result;
}
