#include "tools/odlctl/captures.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace {

struct dir_closer {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Calls `visit` with the path and status of each entry of `directory` whose
// name starts with `name_prefix` ("" for every one but "." and "..").
template <typename Visit>
void for_each_entry(const std::string& directory, const std::string& name_prefix, Visit visit) {
  const std::unique_ptr<DIR, dir_closer> dir(opendir(directory.c_str()));
  while (const dirent* entry = dir ? readdir(dir.get()) : nullptr) {
    const std::string name = entry->d_name;
    struct stat status {};
    if (name != "." && name != ".." && name.rfind(name_prefix, 0) == 0 &&
        stat((directory + "/" + name).c_str(), &status) == 0) {
      visit(directory + "/" + name, status);
    }
  }
}

}  // namespace

std::vector<capture> list_captures(const std::string& prefix) {
  const size_t slash = prefix.rfind('/');
  std::vector<capture> found;
  for_each_entry(prefix.substr(0, slash), prefix.substr(slash + 1),
                 [&](const std::string& path, const struct stat& dir) {
                   if (!S_ISDIR(dir.st_mode)) {
                     return;
                   }
                   capture c{path};
                   for_each_entry(path, "", [&c](const std::string&, const struct stat& file) {
                     if (S_ISREG(file.st_mode)) {
                       ++c.files;
                       c.bytes += static_cast<unsigned long long>(file.st_size);
                       c.newest = std::max(c.newest, file.st_mtime);
                     }
                   });
                   found.push_back(c);
                 });
  std::sort(found.begin(), found.end(), [](const capture& a, const capture& b) { return a.path > b.path; });
  return found;
}

std::vector<std::string> changed_since(const std::vector<capture>& before, const std::vector<capture>& now) {
  std::vector<std::string> changed;
  for (const capture& c : now) {
    if (std::find(before.begin(), before.end(), c) == before.end()) {
      changed.push_back(c.path);
    }
  }
  return changed;
}
