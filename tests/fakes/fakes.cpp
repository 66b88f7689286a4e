#include "tests/fakes/fakes.h"

#include <android-base/file.h>
#include <android-base/threads.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <regex>
#include <thread>
#include <utility>

#include "daemon/env.h"
#include "host/host_log.h"
#include "interfaces/sensors_log.h"

namespace {

std::mutex mutex;
std::condition_variable changed;
// Never destroyed: threads still blocked in the code under test may log while the process ends.
std::vector<std::string>& store() {
  static auto* entries = new std::vector<std::string>();
  return *entries;
}

__attribute__((format(printf, 1, 0))) std::string formatted(const char* format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  return text;
}

class fake_env final : public env {
 public:
  void pause_us(unsigned int us) override { journal::record("pause " + std::to_string(us)); }
  void shell(const char* command) override { journal::record(std::string("shell ") + command); }
};

class journal_reset : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { journal::take(); }
};

}  // namespace

namespace journal {

void record(std::string entry) {
  std::lock_guard lock(mutex);
  store().push_back(std::move(entry));
  changed.notify_all();
}

std::vector<std::string> take() {
  std::lock_guard lock(mutex);
  return std::exchange(store(), {});
}

bool wait_for(const std::string& entry) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(10),
                          [&] { return std::count(store().begin(), store().end(), entry) > 0; });
}

}  // namespace journal

void write_file(const std::string& path, const std::string& content) {
  android::base::WriteStringToFile(content, path);
}

bool wait_until_asleep(const std::atomic<pid_t>& tid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string line;
    android::base::ReadFileToString("/proc/self/task/" + std::to_string(tid) + "/stat", &line);
    // The state is the field after the command name, which ends at the last ')'.
    const size_t name_end = line.rfind(") ");
    if (tid.load() != 0 && name_end != std::string::npos && line[name_end + 2] == 'S') {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

pid_t this_thread_id() { return static_cast<pid_t>(android::base::GetThreadId()); }

void sensors_log::set_tag(const char*) {}
void sensors_log::set_level(log_level) {}

// "function:line, text" is recorded as "L function: text"; a text without that head, as it is.
int sns_log_message(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  journal::record(
      std::string(1, "0EIDV"[level]) + " " +
      std::regex_replace(formatted(format, args), std::regex(R"(^(\w+):\d+, )"), "$1: "));
  va_end(args);
  return 0;
}

void host_trace(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  journal::record(std::string(tag) + ": " + formatted(format, args));
  va_end(args);
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  static fake_env env;
  set_env_for_testing(&env);
  testing::UnitTest::GetInstance()->listeners().Append(new journal_reset);
  return RUN_ALL_TESTS();
}
