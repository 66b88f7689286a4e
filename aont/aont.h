// The always-on test sensor client. main owns the one aont object and hands
// its address to handle_aont, which runs on aont_worker's thread.
//
// Ownership: `client` is the sensor-hub client of the last SUID handled,
// `lookup` the suid lookup made by enable. suid_cbk and send_request run on
// the lookup's thread; the event callback runs on the client's thread. No lock
// is needed: only the lookup's single answer writes `client`, only enable
// writes `lookup`. The destructor releases the client before the lookup.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "interfaces/orb_interface.h"
#include "interfaces/sensor_uid.h"
#include "interfaces/suid_lookup.h"

class aont {
 public:
  aont() = default;
  ~aont();

  aont(const aont&) = delete;
  aont& operator=(const aont&) = delete;

  // Creates the suid lookup and asks it for the "aont" SUIDs; returns without
  // waiting for the answer.
  void enable();

 private:
  // The lookup's answer: one client and one on-change request per SUID.
  void suid_cbk(const std::string& datatype, const std::vector<sensor_uid>& suids);
  void send_request(sensor_uid suid);

  // Field order is fixed; the destructor, not the declaration order, decides
  // the teardown order.
  std::unique_ptr<orb_interface> client;
  std::unique_ptr<suid_lookup> lookup;
};

// The always-on test task: enables the test sensor when the property
// "persist.vendor.sensors.debug.enable.aon_sensor" begins with "true".
void handle_aont(aont* test);
