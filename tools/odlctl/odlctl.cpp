// odlctl: starts, stops, flushes, inspects and prunes the sensors daemon's
// on-device logging by writing only the files that the daemon watches.
#include <cstdio>
#include <string_view>

#include "tools/odlctl/commands.h"
#include "tools/odlctl/guard.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/start_stop.h"

int main(int argc, char** argv) {
  keep_command_line(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "-h" || std::string_view(argv[i]) == "--help") {
      std::printf("%s\n%s", usage, help);
      return 0;
    }
  }
  const std::optional<arguments> args = parse_arguments(argc, argv);
  if (!args) {
    std::fputs(usage, stderr);
    return 2;
  }
  // Each line as it comes: a timed capture's "started:" is read while it runs.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (args->for_s > 0) {
    return timed_capture(*args);
  }
  if (args->command == "start" || args->command == "stop") {
    return print(switch_capture(*args, args->command == "start").outcome);
  }
  if (args->command == "prune") {
    return prune(*args);
  }
  return args->command == "flush" ? flush(*args) : status(*args);
}
