// odlctl: starts, stops, flushes, inspects and prunes the sensors daemon's
// on-device logging by writing only the files that the daemon watches.
#include <fcntl.h>

#include <cstdio>

#include "odlctl/commands.h"

int main(int argc, char** argv) {
  // A standard stream closed by the caller is none of the descriptors opened next.
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) static_cast<void>(open("/dev/null", O_RDWR));
  }
  keep_command_line(argc, argv);
  const parsed p = parse_arguments(argc, argv);
  const arguments& args = p.args;
  if (args.help) {
    std::printf("%s\n%s", usage, help_text().c_str());
    return 0;
  }
  if (!p.refused.empty()) {
    static_cast<void>(std::fprintf(stderr, "odlctl: %s\n%s", p.refused.c_str(), usage));
    return 2;
  }
  // Each line as it comes: a timed capture's "started:" is read while it runs.
  static_cast<void>(std::setvbuf(stdout, nullptr, _IOLBF, 0));
  switch (args.what) {
    case command::start:
    case command::stop:
      if (args.for_s > 0) return timed_capture(args);
      return print(
          switch_capture(args, {.command = {args.what == command::start ? odl::action::start
                                                                        : odl::action::stop,
                                            args.packets}})
              .outcome);
    case command::flush:
      return flush(args);
    case command::prune:
      return prune(args);
    case command::status:
      break;
  }
  return status(args);
}
