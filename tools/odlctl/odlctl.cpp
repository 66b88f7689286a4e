// odlctl: starts, stops, flushes, inspects and prunes the sensors daemon's
// on-device logging by writing only the files that the daemon watches.
#include "tools/odlctl/odlctl.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/odlctl/flush_status.h"
#include "tools/odlctl/prune.h"
#include "tools/odlctl/start_stop.h"

namespace {

constexpr const char* usage =
    "usage: odlctl [--root DIR] [--wait SECONDS] start [--packets] [--for SECONDS] | stop "
    "[--packets] | flush |"
    " status | prune --keep N [--dry-run]\n";

constexpr const char* help =
    "Controls the sensors daemon's on-device logging through the files it watches.\n"
    "\n"
    "commands:\n"
    "  start [--packets]  writes the start command into the command file, then waits\n"
    "                     for the new capture directory and the capture tool's first\n"
    "                     file in it, and prints its path\n"
    "  start --for SECONDS\n"
    "                     a timed capture: the start, SECONDS of capture, then the\n"
    "                     matching stop; SIGINT, SIGTERM or SIGHUP (Ctrl-C, a closed\n"
    "                     shell) stop it at once. Signals ignored from the outset\n"
    "                     (nohup) stay ignored\n"
    "  stop [--packets]   writes the stop command, then waits until no capture\n"
    "                     directory grows any more (a --wait under 5 s is stretched)\n"
    "  flush              asks the daemon to drain the buffered diagnostic packets\n"
    "  status             the capture configuration, the flush pipe, the last command\n"
    "                     written, the free and total space of the file system, and\n"
    "                     the capture directories, newest first, with their total\n"
    "                     size: size, files, age of the newest file, and whether they\n"
    "                     are still growing (watched for 2 s)\n"
    "  prune --keep N     removes the capture directories beyond the N newest, with\n"
    "                     their files, and prints what each freed; one that grows is\n"
    "                     kept, and nothing else in the sensors directory is touched.\n"
    "                     Links are removed, never followed\n"
    "\n"
    "options:\n"
    "  --packets          the capture tool's packet variant (enable_HLOS_packets)\n"
    "  --wait SECONDS     how long start and stop wait for their effect (default 15;\n"
    "                     0 writes the command and does not wait)\n"
    "  --dry-run          prune only says what it would remove\n"
    "  --root DIR         the device's root directory, for a simulated device seen\n"
    "                     from its host (build/devroot); default /\n"
    "  -h, --help         this text\n"
    "\n"
    "The daemon does nothing on a repeated command: odlctl refuses a start while a\n"
    "capture directory grows after a start, and a stop while none grows after a\n"
    "stop, and writes nothing. A stop ends only the captures of its own variant:\n"
    "give --packets to both start and stop, or to neither. odlctl commands that\n"
    "write take turns (a lock on the command file). A directory odlctl cannot read\n"
    "is named, and nothing is concluded from it.\n"
    "\n"
    "exit status: 0 when the effect was seen (for flush, and with --wait 0, once\n"
    "the request is written), 1 when it was not or something could not be read or\n"
    "removed, with the reason on standard error, 2 for bad arguments.\n";

// A whole number of seconds (or directories), from `least` up to a billion.
bool number(const char* text, long least, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= least && value <= 1000000000;
}

// Parses the command line; false (after the usage line) when it is not one.
bool parse(int argc, char** argv, arguments& args) {
  bool good = true;
  for (int i = 1; i < argc && good; ++i) {
    const std::string arg = argv[i];
    const bool valued = i + 1 < argc;
    if (arg == "--root" && valued) {
      args.root = argv[++i];
    } else if (arg == "--wait" && valued) {
      good = number(argv[++i], 0, args.wait_s);
    } else if (arg == "--for" && valued) {
      good = number(argv[++i], 1, args.for_s);
    } else if (arg == "--keep" && valued) {
      good = number(argv[++i], 0, args.keep);
    } else if (arg == "--packets") {
      args.packets = true;
    } else if (arg == "--dry-run") {
      args.dry_run = true;
    } else if (args.command.empty() && (arg == "start" || arg == "stop" || arg == "flush" ||
                                        arg == "status" || arg == "prune")) {
      args.command = arg;
    } else {
      good = false;
    }
  }
  const bool prune = args.command == "prune";
  if (!good || args.command.empty() ||
      (args.packets && args.command != "start" && args.command != "stop") ||
      (args.for_s > 0 && args.command != "start") || prune != (args.keep >= 0) ||
      (args.dry_run && !prune)) {
    std::fputs(usage, stderr);
    return false;
  }
  while (!args.root.empty() && args.root.back() == '/') {
    args.root.pop_back();
  }
  return true;
}

}  // namespace

int fail(const std::string& reason) {
  std::fprintf(stderr, "odlctl: %s\n", reason.c_str());
  return 1;
}

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
  // Each line as it comes: a timed capture's "started:" is read while it runs.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (args.command == "start" || args.command == "stop") {
    bool written = false;
    return args.for_s > 0 ? timed_capture(args) : start_or_stop(args, written);
  }
  if (args.command == "prune") {
    return prune(args);
  }
  return args.command == "flush" ? flush(args) : status(args);
}
