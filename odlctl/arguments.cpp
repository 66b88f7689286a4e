#include <android-base/parseint.h>
#include <getopt.h>

#include <algorithm>
#include <set>

#include "odlctl/commands.h"

const char* const usage =
    "usage: odlctl [--root DIR] [--wait SECONDS] start [--packets] [--for SECONDS [--background]]\n"
    "       odlctl [--root DIR] [--wait SECONDS] stop [--packets]\n"
    "       odlctl [--root DIR] flush | status | prune --keep N [--dry-run]\n";

const char* const help =
    "Controls the sensors daemon's on-device logging through the files it watches.\n"
    "A capture runs while a capture tool process runs for its directory. Where not\n"
    "every process can be seen (another user's, a /proc that hides them) or a capture\n"
    "tool's directory has moved, a capture without a capture tool seen is unknown:\n"
    "never reported finished or stopped, never pruned.\n\n"
    "  start [--packets]   writes the start, waits until a capture tool runs for a new\n"
    "                      capture directory (or it grows): prints it and its variant\n"
    "  start --for SECONDS a timed capture: a guard (odlctl-guard) writes the stop when\n"
    "                      the time is up, when this odlctl ends first, or on SIGINT,\n"
    "                      SIGTERM or SIGHUP; --background leaves it to the guard\n"
    "  stop [--packets]    writes the stop, waits until no tool of the variant runs\n"
    "  flush               asks the daemon to drain the buffered diagnostic packets\n"
    "  status              the configuration, the flush pipe, the last command, the\n"
    "                      space, and each capture, newest first: running, finished\n"
    "                      or unknown, its bytes, files, newest write and guard\n"
    "  prune --keep N      removes the captures beyond the N newest, but none that\n"
    "                      runs, is unknown or was written in the last 2 s; nothing is\n"
    "                      followed, no other file system entered (--dry-run: says it)\n\n"
    "  --packets           the packet variant (enable_HLOS_packets)\n"
    "  --wait SECONDS      how long start and stop wait (default 15, 0: not at all),\n"
    "                      plus what is left of the daemon's pause after the last\n"
    "                      command (3 s after a start, 5 s after a stop)\n"
    "  --root DIR          the device's root, for a simulated device (build/devroot)\n\n"
    "The daemon does nothing on a start after a start or a stop after a stop: odlctl\n"
    "says so instead of waiting. Exit status: 0 when the effect was seen, 1 when not,\n"
    "2 for a command line that is not one.\n";

namespace {

const option options[] = {{"root", required_argument, nullptr, 'r'},
                          {"wait", required_argument, nullptr, 'w'},
                          {"for", required_argument, nullptr, 'f'},
                          {"keep", required_argument, nullptr, 'k'},
                          {"packets", no_argument, nullptr, 'p'},
                          {"background", no_argument, nullptr, 'b'},
                          {"dry-run", no_argument, nullptr, 'd'},
                          {"help", no_argument, nullptr, 'h'},
                          {nullptr, 0, nullptr, 0}};
const std::string_view commands[] = {"start", "stop", "flush", "status", "prune"};

// Plain digits, from `least` up to a billion.
bool number(const char* text, unsigned least, unsigned& value) {
  return plain_digits(text) && android::base::ParseUint(text, &value, 1000000000U) &&
         value >= least;
}

// Why the options given (`seen`, 'c' for the command) do not go together.
std::string mismatch(const arguments& a, const std::set<int>& seen) {
  const bool switches = a.what == command::start || a.what == command::stop;
  const bool prune = a.what == command::prune;
  const std::pair<bool, const char*> rules[] = {
      {seen.count('c') == 0, "no command"},
      {seen.count('w') != 0 && !switches, "--wait goes with start and stop only"},
      {a.packets && !switches, "--packets goes with start and stop only"},
      {a.for_s > 0 && a.what != command::start, "--for goes with start only"},
      {a.for_s > 0 && seen.count('w') != 0 && a.wait_s == 0, "--for needs a wait for the start"},
      {a.background && a.for_s == 0, "--background goes with --for only"},
      {prune != (seen.count('k') != 0), "--keep goes with prune, and prune with --keep"},
      {a.dry_run && !prune, "--dry-run goes with prune only"}};
  const auto* broken =
      std::find_if(std::begin(rules), std::end(rules), [](const auto& rule) { return rule.first; });
  return broken != std::end(rules) ? broken->second : "";
}

}  // namespace

parsed parse_arguments(int argc, char* const* argv) {
  parsed p;
  arguments& a = p.args;
  std::set<int> seen;
  opterr = 0;
  optind = 0;  // a scan of its own, whatever scanned before
  // The options stop at the command ("+"); the command's own come after it.
  while (p.refused.empty() && !a.help) {
    const int got = getopt_long(argc, argv, "+:h", options, nullptr);
    const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    if (got == -1 && optind >= argc) break;
    if (got == -1) {
      const std::string_view name = argv[optind++];
      const auto* found = std::find(std::begin(commands), std::end(commands), name);
      const bool first = seen.insert('c').second;
      a.what = static_cast<command>(found - std::begin(commands));
      p.refused =
          found == std::end(commands) || !first ? "refused command " + std::string(name) : "";
      continue;
    }
    if (got == '?' || got == ':') {
      p.refused = (got == '?' ? "unknown option " : "no value after ") + word;
      break;
    }
    // Every other answer of getopt_long is an option of the table.
    const auto* known = std::find_if(std::begin(options), std::end(options),
                                     [got](const option& o) { return o.val == got; });
    const std::string name = std::string("--") + known->name;
    if (got == 'r') a.root = optarg;
    const bool good = got == 'r'   ? !a.root.empty()
                      : got == 'w' ? number(optarg, 0, a.wait_s)
                      : got == 'f' ? number(optarg, 1, a.for_s)
                      : got == 'k' ? number(optarg, 0, a.keep)
                                   : true;
    a.packets = a.packets || got == 'p';
    a.background = a.background || got == 'b';
    a.dry_run = a.dry_run || got == 'd';
    a.help = got == 'h';
    if (!seen.insert(got).second) {
      p.refused = name + " given twice";
    } else if (!good) {
      p.refused = name + " '" + optarg + "': not a directory, or not plain digits up to 1000000000";
    }
  }
  p.refused = p.refused.empty() && !a.help ? mismatch(a, seen) : p.refused;
  a.root = a.root.find_first_not_of('/') == std::string::npos ? "" : a.root;
  while (!a.root.empty() && a.root.back() == '/') {
    a.root.pop_back();
  }
  return p;
}
