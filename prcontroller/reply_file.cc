#include "reply_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "posix_util.h"

namespace prcontroller {

using prclient::Fd;

namespace {

// The random characters of a temporary name: some 71 bits.
constexpr std::size_t kRandomChars = 12;
// A collision means somebody made the name first: another is taken.
constexpr int kCreateTries = 16;

// kTempPrefix and characters another user of the directory cannot predict,
// so cannot occupy beforehand; none without the random source.
bool TempName(std::string* name) {
  char random[kRandomChars];
  if (!prclient::RandomName(random, sizeof random)) return false;
  *name = std::string(kTempPrefix).append(random, sizeof random);
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
    std::string name;
    fd_ = prclient::CreateExclusive(dirfd_, O_WRONLY, 0644, kCreateTries, TempName, &name);
    if (!fd_) {
      *err = std::string("cannot create a temporary file: ") + std::strerror(errno);
      return false;
    }
    name_ = std::move(name);  // only now ours to remove
    return true;
  }
  int fd() const { return fd_.get(); }
  bool Close() { return fd_.Close(); }
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
