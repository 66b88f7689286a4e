#include "aont/aont.h"

#include <cstring>

#include "aont/aont_event.h"
#include "aont/aont_request.h"
#include "daemon/log.h"
#include "interfaces/properties.h"

aont::~aont() {
  // The client's callbacks stop before the lookup goes.
  client.reset();
  lookup.reset();
}

void aont::enable() {
  SNS_LOG(sensors_log::info, "enable aont");
  lookup = std::make_unique<suid_lookup>(
      [this](const std::string& datatype, const std::vector<sensor_uid>& suids) {
        suid_cbk(datatype, suids);
      });
  lookup->request_suid("aont", false);
}

void aont::suid_cbk(const std::string& datatype, const std::vector<sensor_uid>& suids) {
  SNS_LOG(sensors_log::debug, "received response for %s suids.size() %d", datatype.c_str(),
          static_cast<int>(suids.size()));
  for (const sensor_uid& suid : suids) {
    SNS_LOG(sensors_log::debug, "aont suid_low: %llu suid_high: %llu",
            static_cast<unsigned long long>(suid.low), static_cast<unsigned long long>(suid.high));
    send_request(suid);
  }
}

void aont::send_request(sensor_uid suid) {
  SNS_LOG(sensors_log::debug, "sending on change config request for aont");
  // Decoding keeps no state, so the callback needs nothing of this object.
  const orb_interface::event_cb on_event = [](const uint8_t* data, size_t size,
                                              uint64_t delivery_time) {
    handle_aont_event(data, size, delivery_time);
  };
  // The new client is stored before the previous one is destroyed, null or not.
  client = orb_interface::create(ORB_KVX, orb_conn_config{});
  if (!client) {
    SNS_LOG(sensors_log::error, " failed to create orb_interface with ORB_KVX");
    return;
  }
  client->register_callbacks(suid, nullptr, nullptr, on_event);
  client->send_client_request(suid, true, on_change_request(suid));
}

void handle_aont(aont* test) {
  char value[PROPERTY_VALUE_MAX] = {};
  const int length = property_get("persist.vendor.sensors.debug.enable.aon_sensor", value, "false");
  if (length >= 1 && std::strncmp(value, "true", 4) == 0) {
    SNS_LOG(sensors_log::info, "sending enable aont request");
    test->enable();
    SNS_LOG(sensors_log::info, "sent enable aont request");
  } else {
    SNS_LOG(sensors_log::debug, "aont disabled");
  }
}
