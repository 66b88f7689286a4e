#include "host/hub_sim_client.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>

#include "host/host_log.h"
#include "host/hub_sim_config.h"
#include "host/hub_sim_messages.h"
#include "host/sim_properties.h"

namespace {

constexpr const char* tag = "hub-sim";

uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
}

std::string next_indication(uint64_t timestamp) {
  const std::optional<std::string> hex = host_property("sim.hub.indication_hex");
  if (hex) {
    if (std::optional<std::string> fixed = parse_indication_hex(*hex)) {
      return *fixed;
    }
  }
  const long count = std::max(0L, host_property_number("sim.hub.sample_count", 3));
  return sample_indication(timestamp, static_cast<unsigned int>(count));
}

}  // namespace

std::unique_ptr<orb_interface> orb_interface::create(orb_connection_type type, orb_conn_config) {
  static std::atomic<unsigned long> calls{0};
  const unsigned long number = ++calls;
  if (create_number_listed(host_property("sim.hub.create_fail").value_or(""), number)) {
    host_trace(tag, "orb_interface.create(%d) = null", static_cast<int>(type));
    return nullptr;
  }
  auto client = std::make_unique<hub_sim_client>(number);
  host_trace(tag, "orb_interface.create(%d) = #%lu", static_cast<int>(type), number);
  return client;
}

hub_sim_client::hub_sim_client(unsigned long create_number) : number(create_number) {}

hub_sim_client::~hub_sim_client() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  wake.notify_one();
  if (indications.joinable()) {
    indications.join();
  }
  host_trace(tag, "orb_interface#%lu.destroyed", number);
}

bool hub_sim_client::register_callbacks(sensor_uid suid, error_cb, response_cb, event_cb callback) {
  host_trace(tag, "orb_interface#%lu.register_callbacks(%llu:%llu)", number,
             static_cast<unsigned long long>(suid.low), static_cast<unsigned long long>(suid.high));
  std::lock_guard lock(mutex);
  on_event = std::move(callback);
  return true;
}

bool hub_sim_client::send_client_request(sensor_uid suid, bool wakeup, std::string request) {
  host_trace(tag, "orb_interface#%lu.send_client_request(%llu:%llu, %d, %s)", number,
             static_cast<unsigned long long>(suid.low), static_cast<unsigned long long>(suid.high),
             static_cast<int>(wakeup), describe_request(request).c_str());
  if (request_has_msg_id(request, hub_sim_enable_msg_id) && !indications.joinable()) {
    indications = std::thread(&hub_sim_client::send_indications, this);
  }
  return true;
}

void hub_sim_client::send_indications() {
  for (;;) {
    const long period_ms = std::max(1L, host_property_number("sim.hub.sample_period_ms", 1000));
    event_cb callback;
    {
      std::unique_lock lock(mutex);
      if (wake.wait_for(lock, std::chrono::milliseconds(period_ms), [this] { return stopping; })) {
        return;
      }
      callback = on_event;
    }
    // Delivered without the lock: the callback may call into this client.
    const uint64_t timestamp = monotonic_ns();
    const std::string bytes = next_indication(timestamp);
    host_trace(tag, "orb_interface#%lu.indication(bytes=%zu)", number, bytes.size());
    if (callback) {
      callback(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), timestamp);
    }
  }
}
