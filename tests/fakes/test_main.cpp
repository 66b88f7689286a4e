// Entry point of every unit test binary: installs the fake env for the whole
// run and starts each test with an empty journal.
#include <gtest/gtest.h>

#include "tests/fakes/fake_env.h"
#include "tests/fakes/journal.h"

namespace {

class journal_reset : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { journal::clear(); }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  static fake_env env;
  set_env_for_testing(&env);
  testing::UnitTest::GetInstance()->listeners().Append(new journal_reset);
  return RUN_ALL_TESTS();
}
