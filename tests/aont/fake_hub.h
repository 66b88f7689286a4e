// Test doubles of the suid lookup and the sensor-hub client for the aont
// tests. Every call is recorded in the journal, in the hub-sim trace words:
//   "suid_lookup created"   "suid_lookup.request_suid(aont, false)"   "suid_lookup destroyed"
//   "orb_interface.create(0, {0, 0}) = #1"   (or "= null"; type, then the config's fields)
//   "orb_interface#1.register_callbacks(1:2, error=empty, response=empty, event=set)"
//   "orb_interface#1.send_client_request(1:2, 1, bytes=33)"
//   "orb_interface#1.destroyed"
// Nothing answers by itself: a test calls answer() to deliver the lookup's
// answer, on its own thread, as the lookup would.
#pragma once

#include <string>
#include <vector>

#include "interfaces/orb_interface.h"
#include "interfaces/sensor_uid.h"

namespace fake_hub {

// Makes the create call with this 1-based number return null.
void fail_create(unsigned long number);

// Calls the callback of the suid lookup alive now; fails the test if none is.
void answer(const std::string& datatype, const std::vector<sensor_uid>& suids);

// What client #number was given, kept after the client is destroyed.
std::string request_bytes(unsigned long number);
orb_interface::event_cb event_callback(unsigned long number);

}  // namespace fake_hub
