/* The floor of the on-device-logging command path: the least a program can do
 * between a write into the command file and the capture tool's start. It
 * watches the file with inotify and, at each modification, read()s the
 * command and runs the daemon's line for it (a device without the packet
 * option) through system(), as the daemon must. bench/e2e_bench.py installs
 * it as the simulated device's program. Before each wait it prints one line
 * in the host log format, so the benchmark knows it is watching. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char command_file[] = "/data/vendor//sensors/file1";
static const char kill_line[] = "/vendor/bin/trcap -k -p 16";

static void log_watching(void) {
  struct timespec now;
  char line[96];
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int length =
      snprintf(line, sizeof line, "%lld.%06ld %d %d I odl-floor: watching\n", (long long)now.tv_sec,
               now.tv_nsec / 1000, (int)getpid(), (int)gettid());
  if (length > 0 && write(STDERR_FILENO, line, (size_t)length) < 0) {
    exit(1);
  }
}

/* Whether the command file starts with the four bytes `word`. */
static int command_is(const char* file_start, const char* word) {
  return memcmp(file_start, word, 4) == 0;
}

/* A fresh capture directory per start, as the daemon makes one, named with
 * as many characters as the daemon's. */
static void start_capture(unsigned int number) {
  char directory[64];
  char line[256];
  snprintf(directory, sizeof directory, "/data/vendor/sensors/odl_flr_%019u", number);
  if (mkdir(directory, 0777) != 0) {
    return;
  }
  snprintf(line, sizeof line,
           "/vendor/bin/trcap -p 16 -f /data/vendor/sensors/Diag.cfg -w %s -o %s & ", directory,
           directory);
  if (system(line) < 0) {
    exit(1);
  }
}

int main(void) {
  const int created = open(command_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (created < 0) {
    return 1;
  }
  close(created);
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, command_file, IN_MODIFY) < 0) {
    return 1;
  }
  unsigned int starts = 0;
  for (;;) {
    char records[4096];
    char command[8] = {0};
    log_watching();
    if (read(watch, records, sizeof records) <= 0) {
      return 1;
    }
    const int file = open(command_file, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
      continue;
    }
    const ssize_t length = read(file, command, sizeof command);
    close(file);
    if (length < 5 || command[4] != '\n') {
      continue;
    }
    if (command_is(command, "stop")) {
      if (system(kill_line) < 0) {
        return 1;
      }
    } else if (command_is(command, "star")) {
      start_capture(++starts);
    }
  }
}
