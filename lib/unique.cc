// Spool names: the request file's name, the reply name and data file names,
// and the creation of local files under them. The scratch directory is
// shared by every user of the workstation, so files are only ever created
// exclusively and never through a link someone planted there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "posix_util.h"
#include "prclient.h"

namespace prclient {
namespace {

constexpr int kCreateTries = 100;
constexpr std::size_t kTemplateX = 6;
// Low hexadecimal digits of the seconds a reply name keeps (about 18 hours).
constexpr std::size_t kSecondsKept = 4;

std::int32_t uniqueSuffix = 0;

std::string Hex(unsigned long value, int width = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lx", width, value);
  return buf;
}

// Wraps a freshly created file; a file that cannot be wrapped is removed so
// nothing is left behind.
FilePtr Wrap(Fd fd, const std::string& path, const char* mode) {
  ScopedRemoval made(path);
  FilePtr stream(::fdopen(fd.get(), mode));
  if (stream) {
    fd.Release();
    made.Release();
  }
  return stream;
}

// Whether files may be made in `dir`, where other users must not be able to
// move them and put links of their own in their place. A link at the
// directory's own path is followed only when it belongs to root, to this
// user or to the owner of the directory holding it, as the kernel does in
// sticky directories. The directory must belong to root or to this user
// (its owner may rename anything in it), and one that others may write
// must be sticky.
bool TrustedDir(const char* dir) {
  if (dir == nullptr || dir[0] == '\0') return true;
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return true;  // creating in it fails anyway
  if (S_ISLNK(st.st_mode) && st.st_uid != 0 && st.st_uid != ::geteuid()) {
    std::string parent = DirPath(path);
    struct stat holder;
    if (::stat(parent.empty() ? "." : parent.c_str(), &holder) != 0 ||
        holder.st_uid != st.st_uid)
      return false;
  }
  if (::stat(path.c_str(), &st) != 0) return true;
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return false;
  return !(st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_mode & S_ISVTX);
}

// The next data file name, or false when it would not fit a name buffer.
bool NextDataName(char (&name)[kNameSize]) {
  std::uint32_t c = static_cast<std::uint32_t>(uniqueSuffix);
  uniqueSuffix = static_cast<std::int32_t>(c + 1);
  int len = std::snprintf(name, sizeof name, "%x.%03x",
                          static_cast<unsigned>(getpid()), c);
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof name) {
    name[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace

FilePtr MakeControl(const char* dir, char* templ, char (&name)[kNameSize]) {
  std::size_t len = std::strlen(templ);
  if (len < kTemplateX || len >= kNameSize ||
      std::strspn(templ + len - kTemplateX, "X") != kTemplateX)
    return nullptr;
  if (!TrustedDir(dir)) return nullptr;
  char* tail = templ + len - kTemplateX;
  std::string path;
  Fd fd = CreateExclusive(AT_FDCWD, O_RDWR, 0644, kCreateTries, [&](std::string* next) {
    // Without the random source the name can be guessed; exclusive
    // creation still keeps a name planted first harmless.
    RandomName(tail, kTemplateX);
    std::memcpy(name, templ, len + 1);
    *next = MakePath(dir, name);
    return next->size() < kPathSize;
  }, &path);
  if (!fd) return nullptr;
  // The controller's user reads the copy, which keeps this mode: a
  // restrictive umask must not make the request unreadable there.
  if (::fchmod(fd.get(), 0644) != 0) {
    ::unlink(path.c_str());
    return nullptr;
  }
  return Wrap(std::move(fd), path, "w+");
}

FilePtr MakeData(const char* dir, char (&name)[kNameSize]) {
  if (!TrustedDir(dir)) return nullptr;
  std::string path;
  Fd fd = CreateExclusive(AT_FDCWD, O_WRONLY, 0777, kCreateTries, [&](std::string* next) {
    if (!NextDataName(name)) return false;
    *next = MakePath(dir, name);
    return next->size() < kPathSize;
  }, &path);
  return fd ? Wrap(std::move(fd), path, "w") : nullptr;
}

int MakeDataName(char (&name)[kNameSize]) { return NextDataName(name) ? 0 : -1; }

std::string UniqueName(unsigned long pid, unsigned long seconds,
                       unsigned millis, std::string_view host,
                       unsigned long counter, int n) {
  if (n < 1) return {};
  const std::size_t keep = static_cast<std::size_t>(n) - 1;
  const std::string front = Hex(pid) + Hex(seconds);
  const std::string ms = Hex(millis);
  const std::string count = Hex(counter, 4);

  // Cut from the left, a long host name would push the time out of the kept
  // name, and two hosts of one domain with equal pids would then share reply
  // names. The host gives way first: the kept name holds the milliseconds,
  // the low digits of the seconds and the counter.
  const std::size_t needed =
      std::min(kSecondsKept, front.size()) + ms.size() + count.size();
  if (needed + host.size() > keep) host = host.substr(0, keep > needed ? keep - needed : 0);

  std::string composed = front + ms;
  composed.append(host);
  composed += count;
  if (composed.size() > keep) composed.erase(0, composed.size() - keep);
  return composed;
}

// Clients on one host may share a pid (each container has its own pid 1)
// and start in the same millisecond, so the pid and the host name cannot
// tell their replies apart. Random digits stand in their place: the
// composition keeps its form and its 13 characters, with at least 24
// random bits beside the time, and the counter still tells one process's
// names apart.
int MakeUnique(char* buf, int n) {
  static unsigned long suffix = 0;
  static timespec timenow{};
  static std::string randomPart;

  if (suffix == 0) {
    std::uint16_t seed = 0;
    if (!RandomBytes(&seed, sizeof seed)) seed = static_cast<std::uint16_t>(getpid());
    suffix = seed != 0 ? seed : 1;
  }
  if (timenow.tv_sec == 0) clock_gettime(CLOCK_REALTIME, &timenow);
  if (randomPart.empty()) {
    std::uint64_t bits = 0;
    if (!RandomBytes(&bits, sizeof bits))
      bits = static_cast<std::uint64_t>(timenow.tv_nsec) * 6364136223846793005ULL + getpid();
    randomPart = Hex(static_cast<unsigned long>(bits & 0xffffffffUL), 8);
  }
  const std::string name =
      UniqueName(static_cast<unsigned long>(getpid()), static_cast<unsigned long>(timenow.tv_sec),
                 static_cast<unsigned>(timenow.tv_nsec / 1000000), randomPart,
                 suffix++ & 0xffffffffUL, n);
  if (n >= 1) std::memcpy(buf, name.c_str(), name.size() + 1);
  return 0;
}

std::string MakeCallDir(const char* dir) {
  if (!TrustedDir(dir)) return {};
  std::string templ = MakePath(dir, "prcXXXXXX");
  if (templ.size() >= kPathSize || ::mkdtemp(templ.data()) == nullptr) return {};
  return templ;
}

}  // namespace prclient
