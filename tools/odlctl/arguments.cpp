#include "tools/odlctl/arguments.h"

#include <set>
#include <string_view>

const char* const usage =
    "usage: odlctl [--root DIR] [--wait SECONDS] start [--packets] [--for SECONDS [--background]]\n"
    "       odlctl [--root DIR] [--wait SECONDS] stop [--packets]\n"
    "       odlctl [--root DIR] flush | status | prune --keep N [--dry-run]\n";

const char* const help =
    "Controls the sensors daemon's on-device logging through the files it watches.\n"
    "A capture runs while a capture tool process runs for its directory.\n"
    "\n"
    "commands:\n"
    "  start [--packets]  writes the start command into the command file, waits until\n"
    "                     a capture tool runs for a new capture directory, and prints\n"
    "                     the directory and the variant\n"
    "  start --for SECONDS\n"
    "                     a timed capture: once the start is seen, a guard process of\n"
    "                     odlctl's own writes the matching stop when the time is up,\n"
    "                     or at once when this odlctl ends first, whatever ends it;\n"
    "                     SIGINT, SIGTERM or SIGHUP (Ctrl-C, a closed shell) stop the\n"
    "                     capture at once, a second one leaves without waiting.\n"
    "                     Signals ignored from the outset (nohup) stay ignored\n"
    "  start --for SECONDS --background\n"
    "                     the same, but odlctl leaves once the start is seen; the\n"
    "                     guard stops the capture on time, a hang-up does not reach it\n"
    "  stop [--packets]   writes the stop command, then waits until no capture tool\n"
    "                     of that variant runs\n"
    "  flush              asks the daemon to drain the buffered diagnostic packets\n"
    "  status             the capture configuration, the flush pipe, the last command,\n"
    "                     the free and total space, and each capture directory, newest\n"
    "                     first: running (with its capture tools) or finished, the\n"
    "                     bytes and files of its whole tree, the age of its newest\n"
    "                     write, and the guard of a timed capture\n"
    "  prune --keep N     removes the capture directories beyond the N newest, but\n"
    "                     never one that runs or that was written in the last 2 s;\n"
    "                     prints what each frees (allocated blocks of files that have\n"
    "                     no other link). Links are removed, never followed, and no\n"
    "                     other file system mounted inside is entered\n"
    "\n"
    "options:\n"
    "  --packets          the capture tool's packet variant (enable_HLOS_packets)\n"
    "  --wait SECONDS     how long start and stop wait for their effect (default 15;\n"
    "                     0 writes the command and does not wait), plus what is left\n"
    "                     of the daemon's pause after the last command (3 s after a\n"
    "                     start, 5 s after a stop)\n"
    "  --dry-run          prune only says what it would remove, with the same figures\n"
    "  --root DIR         the device's root directory, for a simulated device seen\n"
    "                     from its host (build/devroot); default /\n"
    "  -h, --help         this text\n"
    "\n"
    "The daemon does nothing on a start after a start it carried out, and nothing on\n"
    "a stop after a stop, whatever its variant; odlctl says so instead of waiting. A\n"
    "stop ends only the capture tools of its own variant: give --packets to both\n"
    "start and stop, or to neither. odlctl commands that write take turns (a lock on\n"
    "the command file). What odlctl cannot read is named, and nothing is concluded\n"
    "from it: where the processes of another user cannot be read, a capture that\n"
    "grows is taken as running, and none is ever taken as finished.\n"
    "\n"
    "exit status: 0 when the effect was seen (for flush, and with --wait 0, once the\n"
    "request is written), 1 when it was not or something could not be read or\n"
    "removed, with the reason on standard error, 2 for bad arguments.\n";

namespace {

// Plain digits, from `least` up to a billion.
bool number(std::string_view text, long least, long& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  value = 0;
  for (const char digit : text) {
    value = value * 10 + (digit - '0');
  }
  return value >= least && value <= 1000000000;
}

}  // namespace

std::optional<arguments> parse_arguments(int argc, const char* const* argv) {
  arguments args;
  std::set<std::string_view> seen;
  const std::set<std::string_view> commands = {"start", "stop", "flush", "status", "prune"};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool command = commands.count(arg) != 0;
    if (!seen.insert(command ? "command" : arg).second) {
      return std::nullopt;
    }
    const bool valued = arg == "--root" || arg == "--wait" || arg == "--for" || arg == "--keep";
    if (valued && i + 1 >= argc) {
      return std::nullopt;
    }
    const std::string_view value = valued ? argv[++i] : "";
    bool good = true;
    if (command) {
      args.command = arg;
    } else if (arg == "--root") {
      args.root = value;
      good = !value.empty();
    } else if (arg == "--wait") {
      good = number(value, 0, args.wait_s);
    } else if (arg == "--for") {
      good = number(value, 1, args.for_s);
    } else if (arg == "--keep") {
      good = number(value, 0, args.keep);
    } else if (arg == "--packets" || arg == "--background" || arg == "--dry-run") {
      args.packets = args.packets || arg == "--packets";
      args.background = args.background || arg == "--background";
      args.dry_run = args.dry_run || arg == "--dry-run";
    } else {
      good = false;
    }
    if (!good) {
      return std::nullopt;
    }
  }
  const bool switches = args.command == "start" || args.command == "stop";
  const bool prune = args.command == "prune";
  const bool timed = args.for_s > 0;
  if (args.command.empty() || (seen.count("--wait") != 0 && !switches) ||
      (args.packets && !switches) || (timed && args.command != "start") ||
      (timed && args.wait_s == 0) || (args.background && !timed) ||
      prune != (seen.count("--keep") != 0) || (args.dry_run && !prune)) {
    return std::nullopt;
  }
  while (args.root.size() > 1 && args.root.back() == '/') {
    args.root.pop_back();
  }
  args.root = args.root == "/" ? "" : args.root;
  return args;
}
