#include "diag/dsp_type.h"

#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace sensors_target {
namespace {

struct dir_closer {
  void operator()(DIR* dir) const { closedir(dir); }
};
struct file_closer {
  // A stream only read has nothing to lose on its close.
  void operator()(FILE* file) const { static_cast<void>(std::fclose(file)); }
};

// The DSP type named by the bytes of one name file. The bytes may hold zeros
// (the buffer is larger than the text), so the search is by length.
int type_of_name(std::string_view name) {
  if (name.size() < 4) {
    return DSP_TYPE_NONE;
  }
  if (name.find("kora") != std::string_view::npos) {
    return DSP_TYPE_KORA;
  }
  if (name.find("vela") != std::string_view::npos) {
    return DSP_TYPE_VELA;
  }
  return DSP_TYPE_NONE;
}

// Reads the name file at `path` into a zero-filled buffer of the size found
// by seeking to its end; bytes the read does not deliver stay zero. A file
// that cannot be opened, sized or buffered names nothing.
int type_of_name_file(const std::string& path) {
  const std::unique_ptr<FILE, file_closer> file(std::fopen(path.c_str(), "r"));
  if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) {
    return DSP_TYPE_NONE;
  }
  const long size = std::ftell(file.get());
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return DSP_TYPE_NONE;
  }
  const auto length = static_cast<size_t>(size);
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[length]());
  if (!buffer) {
    return DSP_TYPE_NONE;
  }
  static_cast<void>(std::fread(buffer.get(), 1, length, file.get()));
  return type_of_name(std::string_view(buffer.get(), length));
}

}  // namespace

int get_dsp_type() {
  // dsp is stored before is_probed is published (release), so a caller that
  // sees is_probed (acquire) sees the type stored with it.
  static std::atomic<bool> is_probed{false};
  static std::atomic<int> dsp{DSP_TYPE_NONE};

  if (is_probed.load(std::memory_order_acquire)) {
    return dsp.load(std::memory_order_relaxed);
  }
  const std::unique_ptr<DIR, dir_closer> dir(opendir("/sys/class/remoteproc"));
  if (!dir) {
    return dsp.load(std::memory_order_relaxed);
  }
  while (const dirent* entry = readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    const int found =
        type_of_name_file(std::string("/sys/class/remoteproc/") + entry->d_name + "/name");
    if (found != DSP_TYPE_NONE) {
      dsp.store(found, std::memory_order_relaxed);
      is_probed.store(true, std::memory_order_release);
      return found;
    }
  }
  return dsp.load(std::memory_order_relaxed);
}

}  // namespace sensors_target
