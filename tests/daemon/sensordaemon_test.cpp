#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "daemon/sensordaemon.h"
#include "tests/fakes/fakes.h"

namespace {

using namespace std::chrono_literals;

TEST(diag_init_wait, times_out_at_its_limit_and_sees_the_flag_set_meanwhile_or_before) {
  EXPECT_FALSE(wait_for_diag_init(30ms));
  std::thread setter([] {
    std::this_thread::sleep_for(100ms);
    signal_diag_init_done();
  });
  EXPECT_TRUE(wait_for_diag_init(60s));
  setter.join();
  EXPECT_TRUE(wait_for_diag_init(0ms));
  const std::vector<std::string> logged = journal::take();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0], "E main: diag is not initialized within 30 ms");
  EXPECT_THAT(logged[1], testing::MatchesRegex("I main: took [1-9][0-9]+ ms to complete diag init"));
  EXPECT_EQ(logged[2], "I main: took 0 ms to complete diag init");
}

}  // namespace
