// Small POSIX helpers shared by the library and the controller: an owned
// descriptor, a file removed on scope exit, whole reads and writes.
#ifndef PRCLIENT_POSIX_UTIL_H_
#define PRCLIENT_POSIX_UTIL_H_

#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace prclient {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A file, or an empty directory, removed when it goes out of scope unless
// released first. An empty path owns nothing.
class ScopedRemoval {
 public:
  ScopedRemoval() = default;
  explicit ScopedRemoval(std::string path) : path_(std::move(path)) {}
  ~ScopedRemoval() { Remove(); }
  ScopedRemoval(ScopedRemoval&& other) noexcept : path_(other.Release()) {}
  ScopedRemoval& operator=(ScopedRemoval&& other) noexcept {
    if (this != &other) {
      Remove();
      path_ = other.Release();
    }
    return *this;
  }
  ScopedRemoval(const ScopedRemoval&) = delete;
  ScopedRemoval& operator=(const ScopedRemoval&) = delete;

  const std::string& path() const { return path_; }
  // Removes it now; nothing is left to do on scope exit.
  void Remove();
  // Keeps it: the caller takes the path over.
  std::string Release() {
    std::string path = std::move(path_);
    path_.clear();
    return path;
  }

 private:
  std::string path_;
};

// Reads `fd` to its end into *out (replacing it). False, with *err set,
// on a read error or when there is more than `limit` bytes.
bool ReadAll(int fd, std::string* out, std::size_t limit, std::string* err);

// Writes all of `data` to `fd`, across short writes and interruptions.
bool WriteAll(int fd, std::string_view data, std::string* err);

}  // namespace prclient

#endif  // PRCLIENT_POSIX_UTIL_H_
