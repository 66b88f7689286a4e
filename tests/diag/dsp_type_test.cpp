// The processor probe against real remoteproc entries of the sandboxed device.
// The probe caches for the life of the process, so every case relies on
// running in a process of its own (as ctest runs them).
#include "diag/dsp_type.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "daemon/unique_fd.h"
#include "tests/fakes/device_files.h"

namespace {

using sensors_target::DSP_TYPE_KORA;
using sensors_target::DSP_TYPE_NONE;
using sensors_target::DSP_TYPE_VELA;
using sensors_target::get_dsp_type;

constexpr const char* remoteproc_dir = "/sys/class/remoteproc";

// Entries of the remoteproc directory in the order the listing gives them,
// which is neither creation nor name order.
std::vector<std::string> listed_entries() {
  std::vector<std::string> names;
  DIR* dir = opendir(remoteproc_dir);
  if (dir == nullptr) {
    return names;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  closedir(dir);
  return names;
}

// Creates `count` entries and returns their paths in listing order, so that
// a test can decide which entry the probe meets first.
std::vector<std::string> make_entries_in_listing_order(int count) {
  for (int index = 0; index < count; ++index) {
    const std::string dir = std::string(remoteproc_dir) + "/remoteproc" + std::to_string(index);
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  }
  std::vector<std::string> paths;
  for (const std::string& name : listed_entries()) {
    paths.push_back(std::string(remoteproc_dir) + "/" + name);
  }
  return paths;
}

// Takes the remoteproc directory away: the sandbox binds it over an empty
// tmpfs /sys, so it is unmounted and its mount point removed. Where the test
// may not unmount (no privilege), it is made unreadable instead, which the
// probe cannot tell apart. restore() brings back an empty directory.
class remoteproc_dir_away {
 public:
  remoteproc_dir_away() {
    unmounted_ = umount2(remoteproc_dir, MNT_DETACH) == 0;
    if (unmounted_) {
      EXPECT_EQ(rmdir(remoteproc_dir), 0) << std::strerror(errno);
    } else {
      EXPECT_EQ(chmod(remoteproc_dir, 0), 0) << std::strerror(errno);
    }
    DIR* dir = opendir(remoteproc_dir);
    EXPECT_EQ(dir, nullptr) << "the directory could not be taken away";
    if (dir != nullptr) {
      closedir(dir);
    }
  }
  void restore() {
    if (unmounted_) {
      EXPECT_EQ(mkdir(remoteproc_dir, 0755), 0) << std::strerror(errno);
    } else {
      EXPECT_EQ(chmod(remoteproc_dir, 0755), 0) << std::strerror(errno);
    }
  }

 private:
  bool unmounted_ = false;
};

// Watches files for being opened.
class open_watch {
 public:
  open_watch() : inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) { EXPECT_TRUE(inotify_.ok()); }
  int add(const std::string& path) { return inotify_add_watch(inotify_.get(), path.c_str(), IN_OPEN); }
  // Watch descriptors that saw an open since the last call.
  std::vector<int> opened() {
    std::vector<int> found;
    alignas(inotify_event) char buffer[4096];
    ssize_t length;
    while ((length = read(inotify_.get(), buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        found.push_back(event->wd);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return found;
  }

 private:
  unique_fd inotify_;
};

struct name_case {
  const char* label;
  std::string content;
  int expected;
};

std::ostream& operator<<(std::ostream& out, const name_case& c) { return out << c.label; }

class dsp_name : public testing::TestWithParam<name_case> {};

TEST_P(dsp_name, decides_the_type) {
  add_remoteproc("remoteproc0", GetParam().content);
  EXPECT_EQ(get_dsp_type(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    names, dsp_name,
    testing::Values(name_case{"kora_with_line_feed", "kora\n", DSP_TYPE_KORA},
                    name_case{"vela_with_line_feed", "vela\n", DSP_TYPE_VELA},
                    name_case{"both_words_vela_first", "vela kora\n", DSP_TYPE_KORA},
                    name_case{"kora_inside_longer_text", "adsp-kora_v2 core\n", DSP_TYPE_KORA},
                    name_case{"vela_inside_longer_text", "cdsp.vela.1\n", DSP_TYPE_VELA},
                    name_case{"capital_kora", "KORA\n", DSP_TYPE_NONE},
                    name_case{"capital_vela", "Vela\n", DSP_TYPE_NONE},
                    name_case{"exactly_four_bytes", "kora", DSP_TYPE_KORA},
                    name_case{"three_bytes", "vel", DSP_TYPE_NONE},
                    name_case{"empty", "", DSP_TYPE_NONE},
                    name_case{"word_split_by_line_feed", "ko\nra\n", DSP_TYPE_NONE},
                    name_case{"word_after_zero_bytes", std::string("\0\0kora\0", 7), DSP_TYPE_KORA},
                    name_case{"word_at_end_of_a_megabyte", std::string(1 << 20, 'x') + "vela", DSP_TYPE_VELA},
                    name_case{"other_processor", "adsp\n", DSP_TYPE_NONE}),
    [](const testing::TestParamInfo<name_case>& param) { return std::string(param.param.label); });

TEST(dsp_probe, first_listed_match_decides_and_later_entries_are_not_read) {
  const std::vector<std::string> entries = make_entries_in_listing_order(2);
  ASSERT_EQ(entries.size(), 2u);
  write_file(entries[0] + "/name", "vela\n");
  write_file(entries[1] + "/name", "kora\n");
  open_watch watch;
  const int first = watch.add(entries[0] + "/name");
  const int second = watch.add(entries[1] + "/name");

  EXPECT_EQ(get_dsp_type(), DSP_TYPE_VELA);
  const std::vector<int> opened = watch.opened();
  EXPECT_NE(std::find(opened.begin(), opened.end(), first), opened.end());
  EXPECT_EQ(std::find(opened.begin(), opened.end(), second), opened.end());
}

TEST(dsp_probe, entry_without_name_file_is_skipped) {
  const std::vector<std::string> entries = make_entries_in_listing_order(2);
  ASSERT_EQ(entries.size(), 2u);
  write_file(entries[1] + "/name", "kora\n");
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_KORA);
}

TEST(dsp_probe, name_file_whose_size_cannot_be_found_is_skipped) {
  const std::vector<std::string> entries = make_entries_in_listing_order(2);
  ASSERT_EQ(entries.size(), 2u);
  // A FIFO cannot seek; a writer of our own lets the probe's open return.
  const std::string fifo = entries[0] + "/name";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const unique_fd writer(open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(writer.ok());
  ASSERT_EQ(write(writer.get(), "kora\n", 5), 5);
  write_file(entries[1] + "/name", "vela\n");
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_VELA);
}

TEST(dsp_probe, entry_of_any_type_is_followed) {
  // The kernel lists its processors as symbolic links to their devices.
  ASSERT_EQ(mkdir("/tmp/device0", 0755), 0);
  write_file("/tmp/device0/name", "kora\n");
  ASSERT_EQ(symlink("/tmp/device0", "/sys/class/remoteproc/remoteproc0"), 0);
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_KORA);
}

TEST(dsp_probe, dot_entries_are_skipped) {
  // "." and ".." would lead to these two files if they were walked.
  write_file("/sys/class/remoteproc/name", "kora\n");
  write_file("/sys/class/name", "vela\n");
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_NONE);
}

TEST(dsp_probe, no_match_is_not_cached) {
  add_remoteproc("remoteproc0", "adsp\n");
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_NONE);
  write_file("/sys/class/remoteproc/remoteproc0/name", "kora\n");
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_KORA);
}

TEST(dsp_probe, no_directory_gives_none_and_the_next_call_walks_again) {
  remoteproc_dir_away away;
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_NONE);
  away.restore();
  add_remoteproc("remoteproc0", "vela\n");
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_VELA);
}

TEST(dsp_probe, match_is_cached_without_touching_the_file_system) {
  add_remoteproc("remoteproc0", "kora\n");
  ASSERT_EQ(get_dsp_type(), DSP_TYPE_KORA);

  open_watch watch;
  ASSERT_GE(watch.add("/sys/class/remoteproc/remoteproc0/name"), 0);
  write_file("/sys/class/remoteproc/remoteproc0/name", "vela\n");
  watch.opened();
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_KORA);
  EXPECT_TRUE(watch.opened().empty());

  ASSERT_EQ(unlink("/sys/class/remoteproc/remoteproc0/name"), 0);
  ASSERT_EQ(rmdir("/sys/class/remoteproc/remoteproc0"), 0);
  remoteproc_dir_away away;
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_KORA);
}

TEST(dsp_probe, concurrent_first_calls_agree) {
  add_remoteproc("remoteproc0", "vela\n");
  add_remoteproc("remoteproc1", "vela\n");
  constexpr int callers = 8;
  std::latch start(callers);
  std::vector<int> results(callers, -1);
  std::vector<std::thread> threads;
  for (int index = 0; index < callers; ++index) {
    threads.emplace_back([&, index] {
      start.arrive_and_wait();
      results[static_cast<size_t>(index)] = get_dsp_type();
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(results, std::vector<int>(callers, DSP_TYPE_VELA));
  EXPECT_EQ(get_dsp_type(), DSP_TYPE_VELA);
}

}  // namespace
