#include "aont/aont_event.h"

#include "daemon/log.h"
#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"

void handle_aont_event(const uint8_t* data, size_t size, uint64_t) {
  sns_client_event_msg indication;
  SNS_LOG(sensors_log::debug, "Received indication with length %u", static_cast<uint32_t>(size));
  // The length is given to protobuf as a signed 32-bit count. A negative count
  // cannot parse, and protobuf treats it as a fatal size error (throw or
  // abort), so it is left as an empty message, like any other failed parse.
  const int32_t count = static_cast<int32_t>(size);
  if (count >= 0) {
    static_cast<void>(indication.ParseFromArray(data, count));
  }
  for (int i = 0; i < indication.events_size(); ++i) {
    const sns_client_event_msg::sns_client_event& event = indication.events(i);
    SNS_LOG(sensors_log::debug, "event[%d] msg_id=%d, ts=%llu", i,
            static_cast<int32_t>(event.msg_id()),
            static_cast<unsigned long long>(event.timestamp()));
    if (event.msg_id() == aont_sample_msg_id) {
      sns_aont_data samples;
      static_cast<void>(samples.ParseFromString(event.payload()));
      SNS_LOG(sensors_log::verbose, "Received sample size %d", samples.sample_size());
    }
  }
}
