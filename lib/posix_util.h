// Small POSIX helpers shared by the library and the controller: an owned
// descriptor and directory stream, a file removed on scope exit, exclusive
// creation under names nobody can guess, whole reads and writes.
//
// How a fallible step reports, here and in the controller:
//
//   bool F(..., std::string* err);
//
// true on success, else false with one line in *err saying why. The answer
// is the return value, so a caller cannot forget to look at it, and the
// message costs nothing on success. The deliberate exceptions:
//
// - The library's public API (prclient.h) is C-style and returns what its
//   callers rely on: 0 or -1, TRPC's result codes, a stream or null, an
//   empty name or nullopt.
// - A reader whose only failure is "not one" (ParseInteger and the like)
//   returns std::optional; there is nothing more to say.
// - A step whose caller acts on the cause, not the message, passes errno
//   on: Fd::Close, Dir and CreateExclusive answer like the system calls
//   they wrap, and WriteReplyFile adds an errno out-parameter so the
//   controller can keep a request when descriptors or space run out.
// - ReadHead hands back what it could read: a read that fails reads short,
//   and the caller judges the bytes it got.
// - An object that is made or looked up is returned, null on failure with
//   the line in *err (OpenCupsSource, StateSource::Current).
#ifndef PRCLIENT_POSIX_UTIL_H_
#define PRCLIENT_POSIX_UTIL_H_

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
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
  // Closes it now and says whether that worked: a write the file system
  // deferred may fail only here. False, with errno set, also when it owned
  // none.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_ = -1;
};

// An open directory stream, closed when it goes out of scope.
class Dir {
 public:
  // Opens `path` relative to the directory `dirfd` (AT_FDCWD: the working
  // directory); false as a bool, with errno set, when it cannot be.
  Dir(int dirfd, const char* path);
  ~Dir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;

  explicit operator bool() const { return dir_ != nullptr; }
  // The next entry, or null at the end.
  const dirent* Next() { return ::readdir(dir_); }

 private:
  DIR* dir_ = nullptr;
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

// Fills `out` with `n` bytes from the system's random source. False, with
// errno set, when it has none to give.
bool RandomBytes(void* out, std::size_t n);

// Writes `n` letters and digits to `out`, for a name that another user of a
// shared directory cannot predict. True when they come from the random
// source; false, with errno set, when it had none to give and the clock and
// the pid stood in, which still vary between callers.
bool RandomName(char* out, std::size_t n);

// Creates a file under a name nothing stands under yet, relative to the
// directory `dirfd` (AT_FDCWD: the working directory), and never through a
// link: `next` puts each name to try in *name, and a name taken already
// (EEXIST) gives way to the next, up to `tries` of them. `access` is
// O_WRONLY or O_RDWR; `mode` is reduced by the umask. The descriptor, with
// the name made in *name; or an invalid one with errno set, by the creation
// or by `next` when it had no name to give.
Fd CreateExclusive(int dirfd, int access, mode_t mode, int tries,
                   const std::function<bool(std::string* name)>& next, std::string* name);

// Reads `fd` to its end into *out (replacing it). False, with *err set,
// on a read error or when there is more than `limit` bytes.
bool ReadAll(int fd, std::string* out, std::size_t limit, std::string* err);

// Up to `limit` bytes from the start of `fd`, whatever its offset (which
// stays): fewer when the file is shorter or a read fails.
std::string ReadHead(int fd, std::size_t limit);

// Writes all of `data` to `fd`, across short writes and interruptions.
bool WriteAll(int fd, std::string_view data, std::string* err);

}  // namespace prclient

#endif  // PRCLIENT_POSIX_UTIL_H_
