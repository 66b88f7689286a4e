/* The practical floor of the on-device-logging command path: the least a
 * program can do between a write into the command file and the capture
 * tool's start. It watches the file with inotify and, at each modification,
 * reads the command and runs the daemon's line for it (a device without the
 * packet option) through system(). bench/e2e_bench.py installs it as the
 * simulated device's program. Before each wait it prints one line in the
 * host log format, so the benchmark knows it is watching. */
#define _GNU_SOURCE
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
  const int length = snprintf(line, sizeof line, "%lld.%06ld %d %d I odl-floor: watching\n", (long long)now.tv_sec,
                              now.tv_nsec / 1000, (int)getpid(), (int)gettid());
  if (length > 0 && write(STDERR_FILENO, line, (size_t)length) < 0) {
    exit(1);
  }
}

/* The first four bytes of the command file, or "" when it cannot be read. */
static void read_command(char command[5]) {
  memset(command, 0, 5);
  FILE* file = fopen(command_file, "r");
  if (file != NULL) {
    if (fread(command, 1, 4, file) != 4) {
      command[0] = '\0';
    }
    fclose(file);
  }
}

/* A fresh capture directory per start, as the daemon makes one. */
static void start_capture(unsigned int number) {
  char directory[64];
  char line[256];
  snprintf(directory, sizeof directory, "/data/vendor/sensors/odl_floor_%u", number);
  if (mkdir(directory, 0777) != 0) {
    return;
  }
  snprintf(line, sizeof line, "/vendor/bin/trcap -p 16 -f /data/vendor/sensors/Diag.cfg -w %s -o %s & ", directory,
           directory);
  if (system(line) < 0) {
    return;
  }
}

int main(void) {
  FILE* file = fopen(command_file, "w");
  if (file == NULL) {
    return 1;
  }
  fclose(file);
  const int watch = inotify_init1(0);
  if (watch < 0 || inotify_add_watch(watch, command_file, IN_MODIFY) < 0) {
    return 1;
  }
  unsigned int starts = 0;
  for (;;) {
    char records[4096];
    char command[5];
    log_watching();
    if (read(watch, records, sizeof records) <= 0) {
      return 1;
    }
    read_command(command);
    if (strcmp(command, "stop") == 0) {
      if (system(kill_line) < 0) {
        return 1;
      }
    } else if (strcmp(command, "star") == 0) {
      start_capture(++starts);
    }
  }
}
