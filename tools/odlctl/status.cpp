#include "tools/odlctl/commands.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/read_device.h"

int status(const arguments& args) {
  const unsigned everything = read_trees | read_processes | read_guards | read_command |
                              read_config | read_pipe | read_space;
  return print(status_report(read_device(args.root, everything)));
}
