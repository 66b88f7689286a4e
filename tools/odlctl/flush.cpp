#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/sensors_paths.h"
#include "tools/odlctl/commands.h"
#include "tools/odlctl/output.h"
#include "tools/odlctl/read_device.h"
#include "tools/odlctl/sensors_dir.h"

int flush(const arguments& args) {
  // A reader that goes away between the open and the write is an error to
  // name, not a reason to die.
  signal(SIGPIPE, SIG_IGN);
  const std::string path = under(args.root, flush_pipe_path);
  const sensors_dir sensors = open_sensors(args.root);
  if (!sensors.fd.ok()) {
    return fail(sensors.error);
  }
  unique_fd writer;
  const std::string state = probe_flush_pipe(sensors.fd.get(), writer);
  if (state != "served") {
    const bool daemon_absent = state == "missing" || state.rfind("not served", 0) == 0;
    return fail("flush pipe " + path + ": " + state +
                (daemon_absent ? ", is the daemon running?" : ", nothing written into it"));
  }
  if (write(writer.get(), "1", 1) != 1) {
    const int error = errno;
    const std::string why = error == EPIPE    ? "its reader went away"
                            : error == EAGAIN ? "the pipe is full"
                                              : "the write failed";
    return fail("cannot write into " + path + ": " + why + " (" + std::strerror(error) + ")");
  }
  std::printf("flush requested\n");
  return 0;
}
