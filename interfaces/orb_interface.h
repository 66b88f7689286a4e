// The client of the sensor-hub client library (closed). One client talks to
// the sensor hub for the SUIDs it registers.
//
// create returns a std::unique_ptr: the caller owns the client and destroys it
// through the virtual destructor, which stops every callback before it
// returns. The client calls its callbacks on a thread of its own, without
// holding a lock of its own, so a callback may call into the client; it must
// not destroy the client that calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "interfaces/sensor_uid.h"

enum orb_connection_type : int32_t {
  ORB_KVX = 0,
};

// Connection settings; all zero selects the library's defaults.
struct orb_conn_config {
  uint32_t flags = 0;
  uint32_t timeout_ms = 0;
};

class orb_interface {
 public:
  // A failed request: the hub's error code.
  using error_cb = std::function<void(int32_t error)>;
  // The hub's acknowledgement of a request: its status code.
  using response_cb = std::function<void(uint32_t status)>;
  // An indication for a registered SUID: its serialised sns_client_event_msg,
  // its length, and the hub's 64-bit delivery time.
  using event_cb = std::function<void(const uint8_t* data, size_t size, uint64_t delivery_time)>;

  // A new client, or null when none could be made.
  static std::unique_ptr<orb_interface> create(orb_connection_type type, orb_conn_config config);

  // Keeps copies of the callbacks and calls them for `suid` from then on;
  // empty callbacks are not called.
  virtual bool register_callbacks(sensor_uid suid, error_cb on_error, response_cb on_response,
                                  event_cb on_event) = 0;
  // Sends a serialised sns_client_request_msg for `suid`.
  virtual bool send_client_request(sensor_uid suid, bool wakeup, std::string request) = 0;
  virtual ~orb_interface() = default;
};
