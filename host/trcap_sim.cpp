// The simulated capture tool, installed as /vendor/bin/trcap on a simulated
// device. Every invocation prints one trace line with its arguments. A launch
// (no -k) then keeps writing a small file of simulated capture data into its
// -o directory every sim.trcap.write_period_ms (1000; 0: once at launch, then
// quiet) until killed, unless sim.trcap.ignore_kill is true; a kill (-k with
// -p N or -g N) signals the running launches that were given the same option,
// and exits.
#include <android-base/file.h>
#include <android-base/stringprintf.h>
#include <android-base/strings.h>
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "host/sim_properties.h"

namespace {

constexpr const char* tag = "trcap-sim";

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

// Each argument ends with a zero byte; a process that has gone has none.
std::vector<std::string> cmdline_of(const std::string& pid) {
  std::string text;
  if (!android::base::ReadFileToString("/proc/" + pid + "/cmdline", &text) || text.empty()) {
    return {};
  }
  text.pop_back();
  return android::base::Split(text, std::string(1, '\0'));
}

bool is_trcap(const std::string& program) {
  const size_t slash = program.rfind('/');
  const std::string base = slash == std::string::npos ? program : program.substr(slash + 1);
  return base == "trcap" || base == "trcap-sim";
}

int kill_matching(const std::string& group) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return 1;
  }
  const std::string self = std::to_string(getpid());
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
      continue;
    }
    const std::vector<std::string> args = cmdline_of(pid);
    if (args.empty() || !is_trcap(args[0])) {
      continue;
    }
    const options other = parse({args.begin() + 1, args.end()});
    if (!other.kill && other.group == group && kill(std::stoi(pid), SIGTERM) == 0) {
      host_trace(tag, "ended capture %s (%s)", pid.c_str(), group.c_str());
    }
  }
  closedir(proc);
  return 0;
}

void write_capture_file(const options& o, unsigned long sequence) {
  using android::base::StringPrintf;
  const std::string name = StringPrintf("%s/trcap_%d_%lu.bin", o.output.value_or(".").c_str(),
                                        static_cast<int>(getpid()), sequence);
  // Best effort, as a capture tool's: a directory removed meanwhile gets nothing.
  static_cast<void>(android::base::WriteStringToFile(
      StringPrintf("simulated capture %s #%lu\n", o.group.value_or("").c_str(), sequence), name));
}

[[noreturn]] void capture(const options& o) {
  if (host_property("sim.trcap.ignore_kill") == "true") {
    signal(SIGTERM, SIG_IGN);
  }
  const long period_ms = host_property_number("sim.trcap.write_period_ms", 1000);
  write_capture_file(o, 1);
  for (unsigned long sequence = 2;; ++sequence) {
    if (period_ms <= 0) {
      pause();  // a quiet capture: until a signal ends it
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
    write_capture_file(o, sequence);
  }
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
  capture(o);
}
