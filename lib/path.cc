// Path helpers. Directories and file names are joined with exactly one
// added "/" when the directory does not end in one.
#include <unistd.h>

#include <cstring>

#include "prclient.h"

namespace prclient {

std::string MakePath(const char* dir, std::string_view name) {
  std::string out = dir ? dir : "";
  if (!out.empty() && out.back() != '/') out += '/';
  out.append(name);
  return out;
}

std::string_view SimplePath(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string DirPath(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  // Only the last "/" goes, and the root keeps its own.
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

int SetDir(const char* dir) {
  if (dir == nullptr || dir[0] == '\0') return 0;
  std::string d = dir;
  if (d.size() >= kPathSize) return -1;
  if (d.size() >= 2 && d.back() == '/') d.pop_back();
  return ::chdir(d.c_str()) == 0 ? 0 : -1;
}

int GetDir(char* buf, std::size_t size) {
  return ::getcwd(buf, size) != nullptr ? 0 : -1;
}

}  // namespace prclient
