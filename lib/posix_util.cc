#include "posix_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace prclient {

void ScopedRemoval::Remove() {
  // remove() unlinks a file and rmdirs a directory, whichever stands there.
  if (!path_.empty()) std::remove(path_.c_str());
  path_.clear();
}

bool ReadAll(int fd, std::string* out, std::size_t limit, std::string* err) {
  out->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = std::strerror(errno);
      return false;
    }
    if (static_cast<std::size_t>(n) > limit - out->size()) {
      *err = "more than " + std::to_string(limit) + " bytes";
      return false;
    }
    out->append(buf, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, std::string_view data, std::string* err) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = std::strerror(errno);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace prclient
