#include <android-base/parseint.h>
#include <android-base/stringprintf.h>

#include <algorithm>
#include <set>

#include "odlctl/commands.h"

const char* const usage =
    "usage: odlctl [--root DIR] [--wait SECONDS] start [--packets] [--for SECONDS [--background]]\n"
    "       odlctl [--root DIR] [--wait SECONDS] stop [--packets]\n"
    "       odlctl [--root DIR] flush | status | prune --keep N [--dry-run]\n";

std::string help_text() {
  return android::base::StringPrintf(
      "Controls the sensors daemon's on-device logging through the files it watches. A\n"
      "capture runs while a capture tool process writes into its directory; where not every\n"
      "process can be seen, a capture without one seen is unknown: never reported finished\n"
      "or stopped, never pruned.\n\n"
      "  start [--packets]    writes the start, waits for a capture tool of a new capture\n"
      "  start --for SECONDS  a guard (odlctl-guard) writes the start, then the stop when\n"
      "                       the time is up, when this odlctl ends first or on SIGINT,\n"
      "                       SIGTERM or SIGHUP; --background returns once it is seen\n"
      "  stop [--packets]     writes the stop, waits until no tool of the variant runs\n"
      "  flush                asks the daemon to drain the buffered diagnostic packets\n"
      "  status               the device and each capture, newest first\n"
      "  prune --keep N       removes the captures beyond the N newest, none that runs, is\n"
      "                       unknown or grows (--dry-run: only says it)\n"
      "  --packets            the packet variant (%s)\n"
      "  --wait SECONDS       how long start and stop wait (15; 0: not at all), plus what\n"
      "                       is left of the daemon's pause (%lld s after a start, %lld s\n"
      "                       after a stop)\n"
      "  --root DIR           the device's root, for a simulated device\n\n"
      "Exit status: 0 when the effect was seen, 1 when not, 2 for a command line that is\n"
      "not one.\n",
      std::string(odl::packets_option).c_str(),
      static_cast<long long>(odl::pause_after_start.count()),
      static_cast<long long>(odl::pause_after_stop.count()));
}

namespace {

struct option {
  const char* name;
  bool value;
};
const option options[] = {{"--root", true},     {"--wait", true},     {"--for", true},
                          {"--keep", true},     {"--packets", false}, {"--background", false},
                          {"--dry-run", false}, {"--help", false}};
const std::string_view commands[] = {"start", "stop", "flush", "status", "prune"};

// Plain digits, from `least` up to a billion.
bool number(const std::string& text, unsigned least, unsigned& value) {
  return plain_digits(text) && android::base::ParseUint(text, &value, 1000000000U) &&
         value >= least;
}

// Why the options given (`seen`, "command" for the command) do not go together.
std::string mismatch(const arguments& a, const std::set<std::string>& seen) {
  const bool switches = a.what == command::start || a.what == command::stop;
  const bool prune = a.what == command::prune;
  const std::pair<bool, const char*> rules[] = {
      {seen.count("command") == 0, "no command"},
      {seen.count("--wait") != 0 && !switches, "--wait goes with start and stop only"},
      {a.packets && !switches, "--packets goes with start and stop only"},
      {a.for_s > 0 && a.what != command::start, "--for goes with start only"},
      {a.for_s > 0 && seen.count("--wait") != 0 && a.wait_s == 0,
       "--for needs a wait for the start"},
      {a.background && a.for_s == 0, "--background goes with --for only"},
      {prune != (seen.count("--keep") != 0), "--keep goes with prune, and prune with --keep"},
      {a.dry_run && !prune, "--dry-run goes with prune only"}};
  const auto* broken =
      std::find_if(std::begin(rules), std::end(rules), [](const auto& rule) { return rule.first; });
  return broken != std::end(rules) ? broken->second : "";
}

// Takes the option `name` with its `value`; why not, "" when it is taken.
std::string take(arguments& a, const std::string& name, const std::string& value) {
  const std::string quoted = name + " '" + value + "': ";
  std::string digits = quoted + "not plain digits up to 1000000000";
  if (name == "--root") a.root = value;
  if (name == "--root" && value.empty()) return quoted + "no directory";
  if (name == "--wait" && !number(value, 0, a.wait_s)) return digits;
  if (name == "--keep" && !number(value, 0, a.keep)) return digits;
  if (name == "--for" && !number(value, 1, a.for_s)) {
    return quoted + "not plain digits from 1 up to 1000000000";
  }
  a.packets = a.packets || name == "--packets";
  a.background = a.background || name == "--background";
  a.dry_run = a.dry_run || name == "--dry-run";
  a.help = a.help || name == "--help";
  return "";
}

}  // namespace

parsed parse_arguments(int argc, char* const* argv) {
  parsed p;
  arguments& a = p.args;
  std::set<std::string> seen;
  bool options_end = false;
  for (int i = 1; i < argc && p.refused.empty(); ++i) {
    const std::string word = argv[i];
    if (word == "--" && !options_end) {
      options_end = true;
      continue;
    }
    if (options_end || word.empty() || word[0] != '-') {
      const auto* found = std::find(std::begin(commands), std::end(commands), word);
      a.what = static_cast<command>(found - std::begin(commands));
      p.refused = found == std::end(commands)      ? "unknown command " + word
                  : !seen.insert("command").second ? word + ": a second command"
                                                   : "";
      continue;
    }
    const size_t equals = word.find('=');
    const std::string name = word == "-h" ? "--help" : word.substr(0, equals);
    const auto* known = std::find_if(std::begin(options), std::end(options),
                                     [&name](const option& o) { return o.name == name; });
    const bool inline_value = equals != std::string::npos;
    if (known == std::end(options)) {
      p.refused = "unknown option " + word;
    } else if (!known->value && inline_value) {
      p.refused = android::base::StringPrintf("%s: %s takes no value", word.c_str(), name.c_str());
    } else if (known->value && !inline_value && i + 1 >= argc) {
      p.refused = "no value after " + name;
    } else if (!seen.insert(name).second) {
      p.refused = name + " given twice";
    } else {
      const std::string value = !known->value  ? ""
                                : inline_value ? word.substr(equals + 1)
                                               : argv[++i];
      p.refused = take(a, name, value);
    }
  }
  p.refused = p.refused.empty() && !a.help ? mismatch(a, seen) : p.refused;
  a.root = a.root.find_first_not_of('/') == std::string::npos ? "" : a.root;
  while (!a.root.empty() && a.root.back() == '/') {
    a.root.pop_back();
  }
  return p;
}
