// What the test doubles observed, in order, from every thread: log messages,
// log settings, calls into the closed libraries, shell commands and pauses.
// Entries are plain text, e.g.
//   "I main: sensors daemon starting"   (level letter, function, message)
//   "set_level 2"   "shell /vendor/bin/trcap -k -p 16"   "pause 5000000"
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace journal {

void record(std::string entry);
std::vector<std::string> entries();
void clear();

// Waits until `done` holds for the entries so far; false after `timeout`.
bool wait_until(const std::function<bool(const std::vector<std::string>&)>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Waits until `entry` has been recorded at least `times` times.
bool wait_for(const std::string& entry, size_t times = 1,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
size_t count(const std::string& entry);

}  // namespace journal
