// Host stand-in of a sensor-hub client: a simulated hub. After a request
// with msg_id 514 it calls the registered event callback with one indication
// every sim.hub.sample_period_ms, on a thread of its own, until the client is
// destroyed: a sample indication of sim.hub.sample_count values, or the fixed
// bytes of sim.hub.indication_hex (when that is not valid hex, the sample
// indication). Properties are read afresh at each indication.
//
// Threads: calls into the client may come from any one thread at a time;
// the destructor must not run on the client's own thread (inside its
// callback). It wakes the indication thread at once, waits for a callback in
// progress and joins the thread before it returns.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "interfaces/orb_interface.h"

class hub_sim_client final : public orb_interface {
 public:
  // `number`: the 1-based number of the create call, shown in the traces.
  explicit hub_sim_client(unsigned long number);
  ~hub_sim_client() override;

  hub_sim_client(const hub_sim_client&) = delete;
  hub_sim_client& operator=(const hub_sim_client&) = delete;

  bool register_callbacks(sensor_uid suid, error_cb on_error, response_cb on_response,
                          event_cb on_event) override;
  bool send_client_request(sensor_uid suid, bool wakeup, std::string request) override;

 private:
  void send_indications();

  const unsigned long number;
  std::mutex mutex;
  std::condition_variable wake;
  event_cb on_event;      // guarded by mutex
  bool stopping = false;  // guarded by mutex
  std::thread indications;
};
