// Host stand-in of the suid lookup. Each lookup answers its requests on a
// thread of its own, in order, one callback at a time: "aont" with the SUIDs
// of sim.hub.aont_suids, any other data type with none. The destructor stops
// the thread (dropping unanswered requests) and joins it.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/host_log.h"
#include "host/hub_sim_config.h"
#include "host/sim_properties.h"
#include "interfaces/suid_lookup.h"

namespace {

constexpr const char* tag = "hub-sim";
constexpr const char* default_aont_suids = "305419896:2596069104";

std::vector<sensor_uid> suids_of(const std::string& datatype) {
  if (datatype != "aont") {
    return {};
  }
  const std::string value = host_property("sim.hub.aont_suids").value_or("");
  return parse_suid_list(value.empty() ? default_aont_suids : value);
}

}  // namespace

struct suid_lookup::impl {
  explicit impl(suid_event_cb cb)
      : callback(std::move(cb)), answerer(&impl::answer_requests, this) {}

  void answer_requests() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !pending.empty(); });
      if (stopping) {
        return;
      }
      const std::string datatype = std::move(pending.front());
      pending.pop_front();
      lock.unlock();
      const std::vector<sensor_uid> suids = suids_of(datatype);
      host_trace(tag, "suid_lookup.answer(%s, %zu)", datatype.c_str(), suids.size());
      if (callback) {
        callback(datatype, suids);
      }
      lock.lock();
    }
  }

  // Declaration order matters: the thread, started last, uses all the others.
  const suid_event_cb callback;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::string> pending;  // guarded by mutex
  bool stopping = false;            // guarded by mutex
  std::thread answerer;
};

suid_lookup::suid_lookup(suid_event_cb callback)
    : state(std::make_unique<impl>(std::move(callback))) {}

suid_lookup::~suid_lookup() {
  {
    std::lock_guard lock(state->mutex);
    state->stopping = true;
  }
  state->wake.notify_one();
  state->answerer.join();
}

void suid_lookup::request_suid(std::string datatype, bool default_only) {
  host_trace(tag, "suid_lookup.request_suid(%s, %s)", datatype.c_str(),
             default_only ? "true" : "false");
  {
    std::lock_guard lock(state->mutex);
    state->pending.push_back(std::move(datatype));
  }
  state->wake.notify_one();
}
