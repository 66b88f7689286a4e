#include "host/hub_sim_messages.h"

#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"

namespace {

template <typename Value>
std::string shown(bool present, Value value) {
  return present ? std::to_string(value) : "absent";
}

}  // namespace

std::string describe_request(const std::string& bytes) {
  const std::string size = "bytes=" + std::to_string(bytes.size());
  sns_client_request_msg request;
  if (!request.ParseFromString(bytes)) {
    return "undecodable " + size;
  }
  std::string text = "msg_id=" + shown(request.has_msg_id(), request.msg_id());
  text += " suid=";
  if (request.has_suid()) {
    text += shown(request.suid().has_suid_low(), request.suid().suid_low()) + ":" +
            shown(request.suid().has_suid_high(), request.suid().suid_high());
  } else {
    text += "absent";
  }
  text += " suspend=";
  if (request.has_suspend_config()) {
    const sns_client_request_msg_suspend_config& suspend = request.suspend_config();
    text += shown(suspend.has_client_processor(), static_cast<int>(suspend.client_processor())) +
            "/" + shown(suspend.has_delivery_type(), static_cast<int>(suspend.delivery_type()));
  } else {
    text += "absent";
  }
  text += request.has_request() ? " request=present" : " request=absent";
  text += request.request().has_payload() ? " payload=present " : " payload=absent ";
  return text + size;
}

bool request_has_msg_id(const std::string& bytes, uint32_t msg_id) {
  sns_client_request_msg request;
  return request.ParseFromString(bytes) && request.has_msg_id() && request.msg_id() == msg_id;
}

std::string sample_indication(uint64_t timestamp, unsigned int sample_count) {
  sns_aont_data samples;
  for (unsigned int i = 0; i < sample_count; ++i) {
    samples.add_sample(0.5F * static_cast<float>(i));
  }
  sns_client_event_msg indication;
  sns_client_event_msg::sns_client_event* event = indication.add_events();
  event->set_msg_id(hub_sim_sample_msg_id);
  event->set_timestamp(timestamp);
  event->set_payload(samples.SerializeAsString());
  return indication.SerializeAsString();
}
