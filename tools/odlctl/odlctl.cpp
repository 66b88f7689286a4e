// odlctl: starts, stops, flushes and inspects the sensors daemon's on-device
// logging by writing only the files that the daemon watches.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "diag/odl_commands.h"
#include "tools/odlctl/captures.h"
#include "tools/odlctl/control.h"

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* usage = "usage: odlctl [--root DIR] [--wait SECONDS] start|stop [--packets] | flush | status\n";

constexpr const char* help =
    "Controls the sensors daemon's on-device logging through the files it watches.\n"
    "\n"
    "commands:\n"
    "  start [--packets]  writes the start command into the command file, then waits\n"
    "                     for the new capture directory and prints its path\n"
    "  stop [--packets]   writes the stop command, then waits until no capture\n"
    "                     directory grows any more\n"
    "  flush              asks the daemon to drain the buffered diagnostic packets\n"
    "  status             the capture configuration, the flush pipe, the last command\n"
    "                     written and the capture directories, newest first: size,\n"
    "                     files, age of the newest file, and whether they are still\n"
    "                     growing (watched for 2 s)\n"
    "\n"
    "options:\n"
    "  --packets          the capture tool's packet variant (enable_HLOS_packets)\n"
    "  --wait SECONDS     how long start and stop wait for their effect (default 15;\n"
    "                     0 writes the command and does not wait)\n"
    "  --root DIR         the device's root directory, for a simulated device seen\n"
    "                     from its host (build/devroot); default /\n"
    "  -h, --help         this text\n"
    "\n"
    "The daemon does nothing on a repeated command (start after start, stop after\n"
    "stop): odlctl says so and writes nothing. A stop ends only the captures of its\n"
    "own variant: give --packets to both start and stop, or to neither.\n"
    "\n"
    "exit status: 0 when the effect was seen (for flush, and with --wait 0, once\n"
    "the request is written), 1 when it was not, with the reason on standard\n"
    "error, 2 for bad arguments.\n";

// Captures have stopped when nothing changed in this long; the capture tool
// writes at least every second.
constexpr auto settled = 2500ms;
// How long status watches the captures to tell which ones grow.
constexpr auto growth_window = 2s;

struct arguments {
  std::string root;
  long wait_s = 15;
  std::string command;
  bool packets = false;
};

int fail(const std::string& reason) {
  std::fprintf(stderr, "odlctl: %s\n", reason.c_str());
  return 1;
}

std::string describe(pipe_state state) {
  switch (state) {
    case pipe_state::served:
      return "served";
    case pipe_state::missing:
      return "missing";
    case pipe_state::not_a_fifo:
      return "not a FIFO";
    case pipe_state::not_served:
      return "not served (nothing reads it)";
  }
  return "";
}

bool contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

std::vector<std::string> paths_of(const std::vector<capture>& captures) {
  std::vector<std::string> paths;
  for (const capture& c : captures) {
    paths.push_back(c.path);
  }
  return paths;
}

int flush(const arguments& args) {
  const std::string path = under(args.root, flush_pipe_path);
  unique_fd writer;
  const pipe_state state = probe_flush_pipe(path, writer);
  if (state != pipe_state::served) {
    return fail("flush pipe " + path + ": " + describe(state) +
                (state == pipe_state::not_a_fifo ? ", nothing written into it" : ", is the daemon running?"));
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
  unique_fd writer;
  std::printf("capture configuration %s: %s\n", cfg.c_str(), access(cfg.c_str(), F_OK) == 0 ? "present" : "missing");
  std::printf("flush pipe %s: %s\n", pipe.c_str(), describe(probe_flush_pipe(pipe, writer)).c_str());
  if (const auto [last, last_option] = first_lines(under(args.root, odl_command_file));
      last == "star" || last == "stop") {
    std::printf("last command: %s%s\n", last == "star" ? "start" : "stop",
                last_option == packets_option ? " --packets" : "");
  }
  const std::vector<capture> before = list_captures(prefix);
  std::this_thread::sleep_for(growth_window);
  const std::vector<capture> now = list_captures(prefix);
  const std::vector<std::string> growing = changed_since(before, now);
  std::printf("capture directories, newest first: %zu\n", now.size());
  for (const capture& c : now) {
    std::printf("  %s  %llu bytes  %zu files", c.path.c_str(), c.bytes, c.files);
    if (c.files > 0) {
      std::printf("  newest %lld s old", static_cast<long long>(std::time(nullptr) - c.newest));
    }
    std::printf("  %s\n", contains(growing, c.path) ? "growing" : "not growing");
  }
  return 0;
}

// Waits for a capture directory that is not among `before`.
int wait_started(const std::string& prefix, const std::vector<std::string>& before, steady_clock::time_point deadline) {
  while (steady_clock::now() < deadline) {
    for (const std::string& path : paths_of(list_captures(prefix))) {
      if (!contains(before, path)) {
        std::printf("started: %s\n", path.c_str());
        return 0;
      }
    }
    std::this_thread::sleep_for(100ms);
  }
  return fail("no new capture directory appeared");
}

// Waits until no capture directory has changed for a while.
int wait_stopped(const std::string& prefix, steady_clock::time_point deadline) {
  std::vector<capture> seen = list_captures(prefix);
  for (auto quiet_since = steady_clock::now(); steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(100ms);
    std::vector<capture> now = list_captures(prefix);
    if (!changed_since(seen, now).empty()) {
      quiet_since = steady_clock::now();
    } else if (steady_clock::now() - quiet_since >= settled) {
      std::printf("stopped: no capture directory grows\n");
      return 0;
    }
    seen = std::move(now);
  }
  return fail("capture directories still growing");
}

// Writes start or stop into the command file and waits for its effect.
int start_or_stop(const arguments& args) {
  const bool start = args.command == "start";
  const std::string word = start ? "star" : "stop";
  const std::string file = under(args.root, odl_command_file);
  const std::string cfg = under(args.root, diag_cfg_path);
  if (access(file.c_str(), F_OK) != 0) {
    return fail("no command file " + file + ": the daemon has not set it up (is it running?)");
  }
  if (start && access(cfg.c_str(), F_OK) != 0) {
    return fail("no capture configuration " + cfg + ": the daemon starts no capture without it");
  }
  unique_fd writer;
  if (const pipe_state pipe = probe_flush_pipe(under(args.root, flush_pipe_path), writer); pipe != pipe_state::served) {
    std::fprintf(stderr, "odlctl: warning: flush pipe %s, the daemon may not be running\n", describe(pipe).c_str());
  }
  const auto [last, last_option] = first_lines(file);
  if (last == word) {
    return fail("the last command was " + args.command + " already: the daemon does nothing on a repeated command");
  }
  if (last == "star" && (last_option == packets_option) != args.packets) {
    std::fprintf(stderr,
                 "odlctl: warning: the capture was started %s --packets: this stop ends only the captures %s it\n",
                 args.packets ? "without" : "with", args.packets ? "with" : "without");
  }
  const std::string prefix = under(args.root, capture_directory_prefix);
  const std::vector<std::string> before = paths_of(list_captures(prefix));
  if (const std::string error = write_command(file, word, args.packets); !error.empty()) {
    return fail(error);
  }
  if (args.wait_s == 0) {
    std::printf("%s written\n", args.command.c_str());
    return 0;
  }
  const auto deadline = steady_clock::now() + std::chrono::seconds(args.wait_s);
  return start ? wait_started(prefix, before, deadline) : wait_stopped(prefix, deadline);
}

// A whole number of seconds, 0 or more.
bool seconds(const char* text, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= 0;
}

// Parses the command line; false (after the usage line) when it is not one.
bool parse(int argc, char** argv, arguments& args) {
  bool good = true;
  for (int i = 1; i < argc && good; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      args.root = argv[++i];
    } else if (arg == "--wait" && i + 1 < argc) {
      good = seconds(argv[++i], args.wait_s);
    } else if (arg == "--packets") {
      args.packets = true;
    } else if (args.command.empty() && (arg == "start" || arg == "stop" || arg == "flush" || arg == "status")) {
      args.command = arg;
    } else {
      good = false;
    }
  }
  if (!good || args.command.empty() || (args.packets && (args.command == "flush" || args.command == "status"))) {
    std::fputs(usage, stderr);
    return false;
  }
  while (!args.root.empty() && args.root.back() == '/') {
    args.root.pop_back();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help") {
      std::printf("%s\n%s", usage, help);
      return 0;
    }
  }
  arguments args;
  if (!parse(argc, argv, args)) {
    return 2;
  }
  if (args.command == "flush") {
    return flush(args);
  }
  return args.command == "status" ? status(args) : start_or_stop(args);
}
