#include "posix_util.h"

#include <fcntl.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace prclient {

Dir::Dir(int dirfd, const char* path) {
  Fd fd(::openat(dirfd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return;
  dir_ = ::fdopendir(fd.get());
  if (dir_ != nullptr) fd.Release();  // the stream owns it now
}

void ScopedRemoval::Remove() {
  // remove() unlinks a file and rmdirs a directory, whichever stands there.
  if (!path_.empty()) std::remove(path_.c_str());
  path_.clear();
}

bool RandomBytes(void* out, std::size_t n) {
  auto* bytes = static_cast<unsigned char*>(out);
  for (std::size_t got = 0; got < n;) {
    const ssize_t r = ::getrandom(bytes + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  return true;
}

bool RandomName(char* out, std::size_t n) {
  static const char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const bool random = RandomBytes(out, n);
  if (!random) {
    const int error = errno;
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    unsigned long mix = static_cast<unsigned long>(ts.tv_nsec) ^
                        (static_cast<unsigned long>(::getpid()) << 12);
    for (std::size_t i = 0; i < n; ++i, mix = mix * 6364136223846793005UL + 1)
      out[i] = static_cast<char>(mix >> 33);
    errno = error;
  }
  for (std::size_t i = 0; i < n; ++i)
    out[i] = kChars[static_cast<unsigned char>(out[i]) % (sizeof kChars - 1)];
  return random;
}

Fd CreateExclusive(int dirfd, int access, mode_t mode, int tries,
                   const std::function<bool(std::string* name)>& next, std::string* name) {
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (!next(name)) return Fd();
    Fd fd(::openat(dirfd, name->c_str(),
                   access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd || errno != EEXIST) return fd;
  }
  return Fd();
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

std::string ReadHead(int fd, std::size_t limit) {
  std::string bytes(limit, '\0');
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::pread(fd, &bytes[got], limit - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
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
