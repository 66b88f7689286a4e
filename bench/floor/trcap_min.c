/* The smallest capture tool stand-in: prints trcap-sim's trace line (its
 * arguments, in the host log format) and exits. Linked statically, so its
 * start-up is one exec and no loader. bench/e2e_bench.py installs it as the
 * capture tool of both the daemon's and the floor's device when it measures
 * command latency, so the figure is the path up to the tool, not the tool. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct timespec now;
  char line[1024];
  clock_gettime(CLOCK_MONOTONIC, &now);
  int length = snprintf(line, sizeof line, "%lld.%06ld %d %d I trcap-sim: trcap",
                        (long long)now.tv_sec, now.tv_nsec / 1000, (int)getpid(), (int)gettid());
  for (int i = 1; i < argc && length > 0 && (size_t)length < sizeof line; ++i) {
    length += snprintf(line + length, sizeof line - (size_t)length, " %s", argv[i]);
  }
  if (length < 0 || (size_t)length >= sizeof line - 1) {
    return 1;
  }
  line[length++] = '\n';
  return write(STDERR_FILENO, line, (size_t)length) == length ? 0 : 1;
}
