#include "aont/aont_request.h"

#include "interfaces/sns_client.pb.h"

std::string on_change_request(sensor_uid suid) {
  sns_client_request_msg request;
  request.set_msg_id(aont_on_change_config_msg_id);
  request.mutable_suid()->set_suid_low(suid.low);
  request.mutable_suid()->set_suid_high(suid.high);
  // Set explicitly: proto2 keeps a field set to 0 present on the wire.
  request.mutable_suspend_config()->set_client_processor(SNS_CLIENT_PROCESSOR_HUB);
  request.mutable_suspend_config()->set_delivery_type(SNS_CLIENT_DELIVERY_NO_WAKEUP);
  request.mutable_request()->clear_payload();
  std::string bytes;
  // Its outcome is not examined: the hub ignores what it cannot read.
  static_cast<void>(request.SerializeToString(&bytes));
  return bytes;
}
