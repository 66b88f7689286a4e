// The daemon's process-wide objects and the start-up steps of main that tests
// drive directly. The objects are constructed before main in the order they
// are declared here; each worker's thread is already waiting on its empty
// queue when main is entered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>

#include "daemon/worker.h"
#include "interfaces/sensors_log.h"

extern worker diag_worker;  // diagnostic settings task, then the flush pipe
extern worker aont_worker;  // always-on test sensor task
extern worker odl_worker;   // on-device-logging capture task
// First line of the last on-device-logging stop or start carried out; one
// blank until then. Used on odl_worker's thread only, so it has no lock.
extern std::string last_odl_command;
extern std::condition_variable diag_init_cv;
extern std::mutex diag_init_mutex;
extern const std::unordered_map<char, sensors_log::log_level> log_level_map;
extern bool diag_init_done;  // guarded by diag_init_mutex; set once, never reset

// Reads "persist.vendor.sensors.debug.daemon" (default "i") and applies its
// first character with set_log_level.
void apply_log_level_property();

// Applies the log-level character `key`: logs the level and then sets it, or
// does nothing at all when `key` is not in log_level_map.
void set_log_level(char key);

// Sets diag_init_done and wakes main's wait. Called by the diagnostic settings
// task once diagnostic initialisation is over, whatever its outcome.
void signal_diag_init_done();

// main's bounded wait for diag_init_done, measured on the monotonic clock,
// with the outcome logged while diag_init_mutex is still held. Returns
// whether the flag was set in time. main passes diag_init_limit.
inline constexpr std::chrono::milliseconds diag_init_limit{11000};
bool wait_for_diag_init(std::chrono::milliseconds limit);
