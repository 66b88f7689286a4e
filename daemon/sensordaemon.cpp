#include "daemon/sensordaemon.h"

#include "daemon/log.h"
#include "interfaces/properties.h"

// Construction order is the order of definition within this file. A throw
// here (a worker without a thread) ends the process before main, as it should:
// a daemon without its threads serves nothing.
// NOLINTBEGIN(cert-err58-cpp)
worker diag_worker;
worker aont_worker;
worker odl_worker;
std::string last_odl_command = " ";
std::condition_variable diag_init_cv;
std::mutex diag_init_mutex;
const std::unordered_map<char, sensors_log::log_level> log_level_map = {
    {'0', sensors_log::lowest},  {'1', sensors_log::info},  {'e', sensors_log::error},
    {'E', sensors_log::error},   {'i', sensors_log::info},  {'I', sensors_log::info},
    {'d', sensors_log::debug},   {'D', sensors_log::debug}, {'v', sensors_log::verbose},
    {'V', sensors_log::verbose},
};
bool diag_init_done = false;
// NOLINTEND(cert-err58-cpp)

void set_log_level(char key) {
  const auto found = log_level_map.find(key);
  if (found == log_level_map.end()) {
    return;
  }
  // Logged before the new level applies, so it shows even when it filters info.
  SNS_LOG(sensors_log::info, "log_level set: %d", static_cast<int>(found->second));
  sensors_log::set_level(found->second);
}

void apply_log_level_property() {
  char value[PROPERTY_VALUE_MAX] = {};
  if (property_get("persist.vendor.sensors.debug.daemon", value, "i") >= 1) {
    set_log_level(value[0]);
  }
}

void signal_diag_init_done() {
  std::lock_guard lock(diag_init_mutex);
  diag_init_done = true;
  diag_init_cv.notify_one();
}

bool wait_for_diag_init(std::chrono::milliseconds limit) {
  using std::chrono::steady_clock;
  std::unique_lock lock(diag_init_mutex);
  const steady_clock::time_point start = steady_clock::now();
  const steady_clock::time_point deadline = steady_clock::now() + limit;
  while (!diag_init_done && steady_clock::now() < deadline) {
    // Spurious wake-ups and the timeout both come back to the test above.
    diag_init_cv.wait_until(lock, deadline);
  }
  // Tested once more after the deadline: it may have been set just then.
  const bool done = diag_init_done;
  if (done) {
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start);
    SNS_LOG_AS("main", sensors_log::info, "took %ld ms to complete diag init",
               static_cast<long>(took.count()));
  } else {
    SNS_LOG_AS("main", sensors_log::error, "diag is not initialized within %ld ms",
               static_cast<long>(limit.count()));
  }
  return done;
}
