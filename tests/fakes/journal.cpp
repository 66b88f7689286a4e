#include "tests/fakes/journal.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace journal {
namespace {

std::mutex mutex;
std::condition_variable changed;
std::vector<std::string>& store() {
  static auto* lines = new std::vector<std::string>();  // outlives threads still logging at exit
  return *lines;
}

}  // namespace

void record(std::string entry) {
  std::lock_guard lock(mutex);
  store().push_back(std::move(entry));
  changed.notify_all();
}

std::vector<std::string> entries() {
  std::lock_guard lock(mutex);
  return store();
}

void clear() {
  std::lock_guard lock(mutex);
  store().clear();
}

bool wait_until(const std::function<bool(const std::vector<std::string>&)>& done, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] { return done(store()); });
}

bool wait_for(const std::string& entry, size_t times, std::chrono::milliseconds timeout) {
  return wait_until(
      [&](const std::vector<std::string>& lines) {
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), entry)) >= times;
      },
      timeout);
}

size_t count(const std::string& entry) {
  std::lock_guard lock(mutex);
  return static_cast<size_t>(std::count(store().begin(), store().end(), entry));
}

}  // namespace journal
