// The processor probe against remoteproc entries of the sandboxed device, its
// first answer asked for by four threads at once. The probe caches for the
// life of the process: every case runs in a process of its own, as ctest runs them.
#include "diag/dsp_type.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "tests/fakes/fakes.h"

namespace {

using namespace sensors_target;

constexpr const char* remoteprocs = "/sys/class/remoteproc";

// One entry per name, the names written in the directory's listing order, so
// that the probe meets them in the order given.
void lay_out(const std::vector<std::string>& names) {
  for (size_t i = 0; i < names.size(); ++i) {
    mkdir((std::string(remoteprocs) + "/remoteproc" + std::to_string(i)).c_str(), 0755);
  }
  DIR* dir = opendir(remoteprocs);
  size_t next = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name).rfind("remoteproc", 0) == 0 && next < names.size()) {
      write_file(std::string(remoteprocs) + "/" + entry->d_name + "/name", names[next++]);
    }
  }
  closedir(dir);
}

struct names_case {
  const char* name;
  std::vector<std::string> names;
  int expected;                    // for four first callers at once
  std::vector<std::string> later;  // names written after that answer
  int expected_later;
};

class dsp_names : public testing::TestWithParam<names_case> {};

TEST_P(dsp_names, decide_the_type_and_only_a_match_is_cached) {
  write_file(std::string(remoteprocs) + "/name", "kora\n");  // what "." would lead to
  write_file("/sys/class/name", "kora\n");                   // and ".."
  lay_out(GetParam().names);
  std::vector<int> seen(4, -1);
  std::vector<std::thread> callers;
  for (int& result : seen) {
    callers.emplace_back([&result] { result = get_dsp_type(); });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  EXPECT_EQ(seen, std::vector<int>(4, GetParam().expected));
  lay_out(GetParam().later);
  EXPECT_EQ(get_dsp_type(), GetParam().expected_later);
}

INSTANTIATE_TEST_SUITE_P(
    table, dsp_names,
    testing::Values(
        names_case{"kora_wins_in_one_name", {"vela kora\n"}, DSP_TYPE_KORA, {}, DSP_TYPE_KORA},
        names_case{"four_bytes", {"kora"}, DSP_TYPE_KORA, {}, DSP_TYPE_KORA},
        names_case{"capitals", {"KORA\n"}, DSP_TYPE_NONE, {}, DSP_TYPE_NONE},
        names_case{"first_listed_decides", {"vela\n", "kora\n"}, DSP_TYPE_VELA, {}, DSP_TYPE_VELA},
        names_case{"no_match_is_not_cached", {"adsp\n"}, DSP_TYPE_NONE, {"vela\n"}, DSP_TYPE_VELA},
        names_case{"match_is_cached", {"kora\n"}, DSP_TYPE_KORA, {"vela\n"}, DSP_TYPE_KORA}),
    by_name);

}  // namespace
