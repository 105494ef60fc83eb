#include "reply_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "posix_util.h"

namespace prcontroller {

using prclient::Fd;

namespace {

// A name under kTempPrefix that another user of the directory cannot
// predict, so cannot occupy beforehand: 72 random bits.
bool RandomTempName(std::string* name) {
  unsigned char bytes[12];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  static const char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
  *name = std::string(kTempPrefix);
  for (unsigned char b : bytes) *name += kAlphabet[b & 63];
  return true;
}

// A file under a temporary name, removed unless it was moved into place.
class TempFile {
 public:
  explicit TempFile(int dirfd) : dirfd_(dirfd) {}
  ~TempFile() {
    fd_.Reset();
    if (!name_.empty()) ::unlinkat(dirfd_, name_.c_str(), 0);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool Create(std::string* err) {
    // A collision means somebody made the name first: take another.
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name;
      if (!RandomTempName(&name)) break;
      Fd fd(::openat(dirfd_, name.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
      if (fd) {
        name_ = std::move(name);
        fd_ = std::move(fd);
        return true;
      }
      if (errno != EEXIST) break;
    }
    *err = std::string("cannot create a temporary file: ") + std::strerror(errno);
    return false;
  }
  int fd() const { return fd_.get(); }
  bool Close() { return ::close(fd_.Release()) == 0; }
  // Fails, rather than replace what stands under `name`. Where the file
  // system cannot rename that way, a hard link can, and the temporary name
  // then goes.
  bool MoveTo(const std::string& name) {
    if (::renameat2(dirfd_, name_.c_str(), dirfd_, name.c_str(), RENAME_NOREPLACE) == 0) {
      name_.clear();
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    return ::linkat(dirfd_, name_.c_str(), dirfd_, name.c_str(), 0) == 0;
  }

 private:
  int dirfd_;
  std::string name_;
  Fd fd_;
};

}  // namespace

bool WriteReplyFile(int dirfd, const std::string& name, std::string_view content,
                    FileId* written, int* error, std::string* err) {
  TempFile file(dirfd);
  if (!file.Create(err)) {
    *error = errno;
    return false;
  }
  struct stat st {};
  std::string why;
  if (::fchmod(file.fd(), 0644) != 0 || !prclient::WriteAll(file.fd(), content, &why) ||
      ::fstat(file.fd(), &st) != 0 || !file.Close()) {
    *error = errno;
    *err = "cannot write reply " + name + ": " + (why.empty() ? std::strerror(errno) : why);
    return false;
  }
  if (!file.MoveTo(name)) {
    *error = errno;
    *err = errno == EEXIST ? "reply name " + name + " is taken already; not written over"
                           : "cannot write reply " + name + ": " + std::strerror(errno);
    return false;
  }
  *written = FileId{st.st_dev, st.st_ino};
  return true;
}

}  // namespace prcontroller
