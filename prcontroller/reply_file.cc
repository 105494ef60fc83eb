#include "reply_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fd.h"

namespace prcontroller {
namespace {

// A file under a temporary name, removed unless it was renamed into place.
class TempFile {
 public:
  TempFile(int dirfd, std::string name, Fd fd)
      : dirfd_(dirfd), name_(std::move(name)), fd_(std::move(fd)) {}
  ~TempFile() {
    fd_.Reset();
    if (!committed_) ::unlinkat(dirfd_, name_.c_str(), 0);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_.get(); }
  bool Close() { return ::close(fd_.Release()) == 0; }
  bool RenameTo(const std::string& name) {
    committed_ = ::renameat(dirfd_, name_.c_str(), dirfd_, name.c_str()) == 0;
    return committed_;
  }

 private:
  int dirfd_;
  std::string name_;
  Fd fd_;
  bool committed_ = false;
};

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool WriteReplyFile(int dirfd, const std::string& name, std::string_view content,
                    FileId* written, std::string* error) {
  static unsigned long counter = 0;
  // The pid keeps two controllers on one directory apart; the leading "."
  // keeps the name from ever being a request's or a reply's.
  const std::string temp = ".prcontroller." + std::to_string(::getpid()) + "." +
                           std::to_string(counter++);
  Fd fd(::openat(dirfd, temp.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  TempFile file(dirfd, temp, std::move(fd));
  struct stat st {};
  if (::fchmod(file.fd(), 0644) != 0 || !WriteAll(file.fd(), content) ||
      ::fstat(file.fd(), &st) != 0 || !file.Close() || !file.RenameTo(name)) {
    *error = "cannot write reply " + name + ": " + std::strerror(errno);
    return false;
  }
  *written = FileId{st.st_dev, st.st_ino};
  return true;
}

}  // namespace prcontroller
