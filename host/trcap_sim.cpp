// The simulated capture tool, installed as /vendor/bin/trcap on a simulated
// device. Every invocation prints one trace line with its arguments. A launch
// (no -k) then keeps writing a small file of simulated capture data into its
// -o directory every sim.trcap.write_period_ms (1000; 0: once at launch, then
// quiet) until killed, unless sim.trcap.ignore_kill is true; a kill (-k with
// -p N or -g N) signals the running launches that were given the same option,
// and exits. A launch records its option in the sandbox's /tmp
// ("trcap-sim.PID"), where the kills find it whatever its command line says.
//
// Three more properties give a launch the manners of other capture tools:
// sim.trcap.title replaces its command line by that text, as daemons that set
// their process title do; sim.trcap.leader_exits=true ends its main thread
// while another writes on; sim.trcap.keep_open=true writes everything into
// one file that it keeps open, wherever its directory moves.
#include <android-base/file.h>
#include <android-base/parseint.h>
#include <android-base/stringprintf.h>
#include <android-base/strings.h>
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "host/sim_properties.h"

namespace {

constexpr const char* tag = "trcap-sim";
constexpr const char* records = "/tmp";
constexpr const char* record_prefix = "trcap-sim.";

struct options {
  bool kill = false;
  std::optional<std::string> group;  // "-p N" or "-g N", as given
  std::optional<std::string> output;
};

options parse(const std::vector<std::string>& args) {
  options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool has_value = i + 1 < args.size();
    if (args[i] == "-k") {
      o.kill = true;
    } else if ((args[i] == "-p" || args[i] == "-g") && has_value) {
      o.group = args[i] + " " + args[i + 1];
      ++i;
    } else if (args[i] == "-o" && has_value) {
      o.output = args[++i];
    }
  }
  return o;
}

std::string record_path(const std::string& pid) {
  return std::string(records) + "/" + record_prefix + pid;
}

int kill_matching(const std::string& group) {
  DIR* dir = opendir(records);
  if (dir == nullptr) {
    return 1;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string pid = name.substr(std::min(name.size(), std::strlen(record_prefix)));
    std::string option;
    int number = 0;
    if (!android::base::StartsWith(name, record_prefix) || !android::base::ParseInt(pid, &number) ||
        !android::base::ReadFileToString(record_path(pid), &option) || option != group) {
      continue;
    }
    if (kill(number, SIGTERM) == 0) {
      host_trace(tag, "ended capture %s (%s)", pid.c_str(), group.c_str());
    } else {
      unlink(record_path(pid).c_str());  // a launch that is gone
    }
  }
  closedir(dir);
  return 0;
}

struct capture_run {
  options o;
  long period_ms;
  android::base::unique_fd kept;  // with keep_open, the one file it writes into
};

void write_capture_data(capture_run& run, unsigned long sequence) {
  using android::base::StringPrintf;
  const std::string data =
      StringPrintf("simulated capture %s #%lu\n", run.o.group.value_or("").c_str(), sequence);
  // Best effort, as a capture tool's: a directory removed meanwhile gets nothing.
  if (run.kept.ok()) {
    static_cast<void>(android::base::WriteStringToFd(data, run.kept.get()));
    return;
  }
  const std::string name = StringPrintf("%s/trcap_%d_%lu.bin", run.o.output.value_or(".").c_str(),
                                        static_cast<int>(getpid()), sequence);
  static_cast<void>(android::base::WriteStringToFile(data, name));
}

[[noreturn]] void write_on(capture_run& run) {
  for (unsigned long sequence = 2;; ++sequence) {
    if (run.period_ms <= 0) {
      pause();  // a quiet capture: until a signal ends it
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(run.period_ms));
    write_capture_data(run, sequence);
  }
}

[[noreturn]] void capture(const options& o, char** argv, int argc) {
  if (host_property("sim.trcap.ignore_kill") == "true") {
    signal(SIGTERM, SIG_IGN);
  }
  static_cast<void>(android::base::WriteStringToFile(o.group.value_or(""),
                                                     record_path(std::to_string(getpid()))));
  static capture_run run{o, host_property_number("sim.trcap.write_period_ms", 1000), {}};
  if (host_property("sim.trcap.keep_open") == "true") {
    const std::string name = o.output.value_or(".") + "/trcap_" + std::to_string(getpid()) + ".bin";
    run.kept.reset(open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  }
  write_capture_data(run, 1);
  if (const std::optional<std::string> title = host_property("sim.trcap.title")) {
    // The arguments' memory, rewritten in place: /proc/PID/cmdline shows the title.
    char* end = argv[argc - 1] + std::strlen(argv[argc - 1]);
    std::memset(argv[0], 0, static_cast<size_t>(end - argv[0]));
    std::memcpy(argv[0], title->data(),
                std::min(title->size(), static_cast<size_t>(end - argv[0])));
  }
  if (host_property("sim.trcap.leader_exits") == "true") {
    std::thread([] { write_on(run); }).detach();
    pthread_exit(nullptr);
  }
  write_on(run);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string line = "trcap";
  for (const std::string& arg : args) {
    line += " " + arg;
  }
  host_trace(tag, "%s", line.c_str());

  const options o = parse(args);
  if (o.kill) {
    return o.group ? kill_matching(*o.group) : 2;
  }
  capture(o, argv, argc);
}
