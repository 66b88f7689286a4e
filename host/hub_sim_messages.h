// The simulated hub's view of the sensor messages: what a client request
// holds, and the sample indications it sends.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint32_t hub_sim_enable_msg_id = 514;
inline constexpr uint32_t hub_sim_sample_msg_id = 1024;

// A request's fields for the trace line, absent ones as "absent":
//   "msg_id=514 suid=LOW:HIGH suspend=0/1 request=present payload=absent bytes=B"
// or "undecodable bytes=B" when the bytes are no sns_client_request_msg.
std::string describe_request(const std::string& bytes);

// Whether the bytes decode as a request with this msg_id.
bool request_has_msg_id(const std::string& bytes, uint32_t msg_id);

// A serialised sns_client_event_msg with one sample event: msg_id 1024,
// `timestamp`, and an sns_aont_data payload of `sample_count` values.
std::string sample_indication(uint64_t timestamp, unsigned int sample_count);
