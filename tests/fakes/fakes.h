// The test doubles every unit test binary links. The sensor log library, the
// env and the stand-ins' trace output all write into one journal, in order,
// from any thread:
//   "I main: sensors daemon starting"    a message: level letter, function, text
//   "shell /vendor/bin/trcap -k -p 16"   "pause 5000000"   "diag-sim: <trace text>"
// The test main installs the env and empties the journal before each case.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

namespace journal {

void record(std::string entry);
// Everything recorded since the last take, which it removes.
std::vector<std::string> take();
// Waits up to 10 s until `entry` has been recorded since the last take.
bool wait_for(const std::string& entry);

}  // namespace journal

// Names the rows of a parameterised table by their `name`.
inline constexpr auto by_name = [](const auto& info) { return std::string(info.param.name); };

// Writes `content` to `path`, replacing what was there.
void write_file(const std::string& path, const std::string& content);

// Waits up to 10 s until the thread of this process whose id `tid` holds
// (0 until its thread has stored it) sleeps; answers whether it did. A thread
// that spins never sleeps.
bool wait_until_asleep(const std::atomic<pid_t>& tid);

// This thread's id, as /proc/self/task names it.
pid_t this_thread_id();
