// What the daemon and the controllers of on-device logging (odlctl among
// them) share: the files under /data/vendor/sensors through which they meet,
// the command file's lines and words, the capture directories' names, the
// capture tool's command lines and the daemon's pauses. Written once here:
// each side builds and reads them with these declarations and restates none.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace odl {

// A string of the parts one after another, made at compile time.
template <const std::string_view&... parts>
inline constexpr auto joined = [] {
  std::array<char, (parts.size() + ... + 1)> text{};
  auto at = text.begin();
  ((at = std::copy(parts.begin(), parts.end(), at)), ...);
  return text;
}();

inline constexpr std::string_view data_vendor = "/data/vendor";
inline constexpr std::string_view slash = "/";
inline constexpr std::string_view sensors_name = "sensors";
// The names in the sensors directory.
inline constexpr std::string_view diag_cfg_name = "Diag.cfg";
inline constexpr std::string_view command_file_name = "file1";
inline constexpr std::string_view flush_pipe_name = "sns_diag_flush";
// The command file's path has the device's own doubled slash.
inline constexpr std::string_view doubled_slash = "//";

inline constexpr const char* sensors_directory = joined<data_vendor, slash, sensors_name>.data();
// Only its existence counts: every start of the capture tool needs it.
inline constexpr const char* diag_cfg_path =
    joined<data_vendor, slash, sensors_name, slash, diag_cfg_name>.data();
inline constexpr const char* command_file =
    joined<data_vendor, doubled_slash, sensors_name, slash, command_file_name>.data();
// Whatever is written into this FIFO asks for a drain of the diagnostic buffers.
inline constexpr const char* flush_pipe_path =
    joined<data_vendor, slash, sensors_name, slash, flush_pipe_name>.data();

// The command file: lines split at line feeds only and kept whole (a
// carriage return or a zero byte is part of its line); empty lines do not
// count. Its first two lines are a command word, then the option that asks
// for the packet variant (anything else: the default one); later lines are
// read and ignored.
inline constexpr std::string_view stop_word = "stop";
inline constexpr std::string_view start_word = "star";
inline constexpr std::string_view packets_option = "enable_HLOS_packets";
// What a controller writes as the option of the default variant.
inline constexpr std::string_view default_option = "default";

enum class action { none, stop, start };
struct command {
  action what = action::none;
  bool packets = false;
};

// Reads the lines of `in` into `lines`, the empty ones left out; `each` sees
// every line read, empty ones included. What the stream or the list throws
// goes on to the caller, the lines read until then kept.
template <typename Each>
void read_lines(std::istream& in, std::vector<std::string>& lines, Each each) {
  for (std::string line; std::getline(in, line);) {
    each(line);
    if (!line.empty()) lines.push_back(line);
  }
}

// What the file's non-empty lines ask for: nothing unless there are two.
inline command command_of(const std::vector<std::string>& lines) {
  if (lines.size() < 2) return {};
  const action what = lines[0] == stop_word    ? action::stop
                      : lines[0] == start_word ? action::start
                                               : action::none;
  return {what, lines[1] == packets_option};
}

// The two lines that ask for `c`.
inline std::string command_text(const command& c) {
  const std::string_view word = c.what == action::start ? start_word : stop_word;
  return std::string(word) + "\n" + std::string(c.packets ? packets_option : default_option) + "\n";
}

// Capture directories: in the sensors directory, "odl_sns_" and the local
// time as the format gives it with every '-' made a '_', or the fallback
// stamp when the local time cannot be computed.
inline constexpr std::string_view capture_prefix = "odl_sns_";
inline constexpr const char* capture_stamp_format = "%Y-%m-%d-%H-%M-%S";
inline constexpr std::string_view capture_fallback_stamp = "date_time";

// The '-' to '_' rule of capture names, for a stamp or for its format.
inline std::string underscored(std::string text) {
  std::replace(text.begin(), text.end(), '-', '_');
  return text;
}

// The name of the capture directory started at local time `local` (null:
// the local time could not be computed).
inline std::string capture_name(const std::tm* local) {
  std::array<char, 80> stamp{};
  // Never 0: six fields of at most 11 characters and five dashes fit.
  if (local != nullptr) {
    static_cast<void>(std::strftime(stamp.data(), stamp.size(), capture_stamp_format, local));
  }
  const std::string text =
      local != nullptr ? underscored(stamp.data()) : std::string(capture_fallback_stamp);
  return std::string(capture_prefix) + text;
}

// The capture tool and its options. On a kora processor both variants run
// the group tool too, and a stop of either ends it.
inline constexpr const char* capture_tool = "/vendor/bin/trcap";
// The daemon itself.
inline constexpr const char* daemon_path = "/vendor/bin/sensordaemon";
inline constexpr std::string_view kora_group_option = "-g 16384";
inline constexpr std::string_view kill_flag = "-k";
inline constexpr std::string_view config_flag = "-f";
inline constexpr std::string_view work_flag = "-w";
inline constexpr std::string_view output_flag = "-o";

// The capture tool of a variant: its option names the peripheral it captures,
// and a kill line with the same option ends it.
constexpr std::string_view variant_option(bool kora, bool packets) {
  if (kora) return packets ? "-p 5" : "-p 4";
  return packets ? "-p 17" : "-p 16";
}

// The launch line of the capture tool with `option`, writing into
// `directory`: the shell runs it in the background and returns at once.
inline std::string launch_line(std::string_view option, std::string_view directory) {
  const std::string dir(directory);
  return std::string(capture_tool) + " " + std::string(option) + " " + std::string(config_flag) +
         " " + diag_cfg_path + " " + std::string(work_flag) + " " + dir + " " +
         std::string(output_flag) + " " + dir + " & ";
}

// The kill line of the tool started with `option`; it runs to its end. The
// group tool's ends in a blank.
inline std::string kill_line(std::string_view option) {
  const char* blank = option == kora_group_option ? " " : "";
  return std::string(capture_tool) + " " + std::string(kill_flag) + " " + std::string(option) +
         blank;
}

// What the arguments of a capture tool's command line (after its name) say,
// read as the lines above build them: a kill, the option it was given ("" for
// none the daemon gives) and the directory it was told to write into.
struct tool_arguments {
  bool kill = false;
  std::string option;
  std::string output;
};
inline tool_arguments read_tool_arguments(const std::vector<std::string>& args) {
  tool_arguments read;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string next = i + 1 < args.size() ? args[i + 1] : "";
    const std::string pair = args[i] + " " + next;
    const bool known = pair == kora_group_option || pair == variant_option(true, true) ||
                       pair == variant_option(true, false) || pair == variant_option(false, true) ||
                       pair == variant_option(false, false);
    read.kill = read.kill || args[i] == kill_flag;
    read.option = known ? pair : read.option;
    read.output = args[i] == output_flag ? next : read.output;
  }
  return read;
}

// After a start the daemon reads no command for this long, after a stop for
// the other; a command written meanwhile is read when the pause ends.
inline constexpr std::chrono::seconds pause_after_start{3};
inline constexpr std::chrono::seconds pause_after_stop{5};

}  // namespace odl
