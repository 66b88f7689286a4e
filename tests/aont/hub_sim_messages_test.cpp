#include "host/hub_sim_messages.h"

#include <gtest/gtest.h>

#include <string>

#include "interfaces/sns_aont.pb.h"
#include "interfaces/sns_client.pb.h"

namespace {

TEST(describe_request, shows_every_field_of_a_full_request) {
  sns_client_request_msg request;
  request.set_msg_id(514);
  request.mutable_suid()->set_suid_low(305419896);
  request.mutable_suid()->set_suid_high(2596069104);
  request.mutable_suspend_config()->set_client_processor(SNS_CLIENT_PROCESSOR_HUB);
  request.mutable_suspend_config()->set_delivery_type(SNS_CLIENT_DELIVERY_NO_WAKEUP);
  request.mutable_request();
  const std::string bytes = request.SerializeAsString();
  EXPECT_EQ(describe_request(bytes), "msg_id=514 suid=305419896:2596069104 suspend=0/1 request=present payload=absent "
                                     "bytes=" + std::to_string(bytes.size()));
}

TEST(describe_request, shows_absent_fields_as_absent) {
  EXPECT_EQ(describe_request(""), "msg_id=absent suid=absent suspend=absent request=absent payload=absent bytes=0");
  sns_client_request_msg request;
  request.mutable_suid()->set_suid_high(7);
  request.mutable_suspend_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
  request.mutable_request()->set_payload("ab");
  const std::string bytes = request.SerializeAsString();
  EXPECT_EQ(describe_request(bytes), "msg_id=absent suid=absent:7 suspend=absent/0 request=present payload=present "
                                     "bytes=" + std::to_string(bytes.size()));
}

TEST(describe_request, undecodable_bytes_show_their_count) {
  EXPECT_EQ(describe_request(std::string("\xff\xff\xff", 3)), "undecodable bytes=3");
}

TEST(request_has_msg_id, needs_the_field_present_with_that_value) {
  sns_client_request_msg request;
  EXPECT_FALSE(request_has_msg_id(request.SerializeAsString(), 0));
  request.set_msg_id(514);
  EXPECT_TRUE(request_has_msg_id(request.SerializeAsString(), 514));
  EXPECT_FALSE(request_has_msg_id(request.SerializeAsString(), 515));
  EXPECT_FALSE(request_has_msg_id(std::string("\xff", 1), 514));
}

TEST(sample_indication, holds_one_sample_event) {
  sns_client_event_msg indication;
  ASSERT_TRUE(indication.ParseFromString(sample_indication(123456789012, 4)));
  ASSERT_EQ(indication.events_size(), 1);
  EXPECT_EQ(indication.events(0).msg_id(), 1024u);
  EXPECT_EQ(indication.events(0).timestamp(), 123456789012u);
  sns_aont_data data;
  ASSERT_TRUE(data.ParseFromString(indication.events(0).payload()));
  EXPECT_EQ(data.sample_size(), 4);
}

TEST(sample_indication, of_no_samples_has_an_empty_payload) {
  sns_client_event_msg indication;
  ASSERT_TRUE(indication.ParseFromString(sample_indication(1, 0)));
  ASSERT_EQ(indication.events_size(), 1);
  EXPECT_TRUE(indication.events(0).payload().empty());
}

}  // namespace
