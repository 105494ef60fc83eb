// The remote call: a request file dropped into the controller's request
// directory, a poll for the reply under the name the client chose, and the
// reply relayed. Every local file the call makes is gone when it returns.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "interrupt.h"
#include "prclient.h"

namespace prclient {
namespace {

constexpr std::size_t kStatusLine = 256;
constexpr std::size_t kRelayChunk = 256;

// A local file the call made, removed when the call is done with it.
class LocalFile {
 public:
  explicit LocalFile(std::string path) : path_(std::move(path)) {}
  ~LocalFile() { Remove(); }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
  void Remove() {
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  std::string path_;
};

// The reply is fetched into a directory of the call's own: its name is in
// the world-readable request, and in the shared scratch directory a link
// planted under it could make the copy write wherever it points.
class PrivateDir {
 public:
  explicit PrivateDir(const char* parent) {
    std::string templ = MakePath(parent, "prcXXXXXX");
    if (templ.size() < kPathSize && ::mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~PrivateDir() { Remove(); }
  void Remove() {
    if (!path_.empty()) ::rmdir(path_.c_str());
    path_.clear();
  }
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool Interrupted() { return detail::PendingInterrupt() != 0; }

// Relays the reply after its status line; false when standard output
// refused any of it, so the caller does not report a lost answer as given.
bool Relay(std::FILE* reply) {
  char chunk[kRelayChunk];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, reply)) > 0)
    if (std::fwrite(chunk, 1, got, stdout) != got) return false;
  return !std::ferror(reply);
}

int Call(const char* host, const char* dir, const char* requestName, int argc,
         const char* const* argv, int* status, detail::InterruptScope& scope) {
  RequestRecord rec;
  std::strncpy(rec.requestName, requestName, kNameSize);
  rec.requestName[kNameSize - 1] = '\0';
  argc = std::max(0, std::min(argc, kMaxArgs));
  rec.wordCount = argc + 1;
  rec.words[0] = rec.requestName;

  std::vector<std::string> quoted;
  quoted.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    quoted.push_back('"' + std::string(argv[i]) + '"');
    rec.words[i + 1] = quoted.back().c_str();
  }

  char templ[] = "sprXXXXXX";
  FilePtr stream = MakeControl(Tmpqdir, templ, rec.controlName);
  if (!stream) return kTrpcSystemError;
  const std::string requestPath = MakePath(Tmpqdir, rec.controlName);
  LocalFile request(requestPath);
  MakeUnique(rec.replyName, kNameSize);
  if (putparams(rec, std::move(stream)) != 0) return kTrpcSystemError;

  if (TransportTo(host, dir, rec.controlName, requestPath.c_str(), 1) != 0)
    return kTrpcUnreachable;
  request.Remove();

  PrivateDir replyDir(Tmpqdir);
  if (!replyDir.ok()) return kTrpcSystemError;
  const std::string replyPath = MakePath(replyDir.path().c_str(), rec.replyName);
  if (replyPath.size() >= kPathSize) return kTrpcSystemError;
  LocalFile replyFile(replyPath);

  Delay(netwait);
  int failed = 0;
  while (failed < ntrys && !Interrupted()) {
    if (TransportFrom(host, dir, rec.replyName, replyPath.c_str(), 1) == 0) break;
    ++failed;
    Delay(netwait);
  }
  if (Interrupted()) return kTrpcSystemError;
  if (failed == ntrys) return kTrpcNoReply;

  FilePtr reply(std::fopen(replyPath.c_str(), "r"));
  if (!reply) return kTrpcSystemError;
  // The open reply outlives its name: with nothing left on disk, an
  // interrupt while a slow reader holds up the relay may act at once.
  replyFile.Remove();
  replyDir.Remove();
  scope.Lift();

  char line[kStatusLine];
  if (!std::fgets(line, sizeof line, reply.get())) return kTrpcSystemError;
  *status = ParseStatus(line);
  if (!Relay(reply.get()) || std::fflush(stdout) != 0) return kTrpcSystemError;
  return kTrpcOk;
}

}  // namespace

int ForwardCall(const char* host, const char* dir, const char* requestName,
                const char* const* argv, const std::vector<int>& keep, int* status) {
  std::vector<char*> copies;
  for (int i : keep) {
    char* copy = strdup(argv[i]);
    if (copy == nullptr) break;
    copies.push_back(copy);
  }
  int result = kTrpcSystemError;
  if (copies.size() == keep.size() && !copies.empty())
    result = TRPC(host, dir, requestName, static_cast<int>(copies.size()) - 1,
                  copies.data() + 1, status);
  for (char* copy : copies) std::free(copy);
  return result;
}

const char* TrpcMessage(int result) {
  switch (result) {
    case kTrpcOk: return nullptr;
    case kTrpcNoReply: return "Server not responding";
    case kTrpcUnreachable: return "Server or directory unreachable";
    default: return "System error";
  }
}

int ParseStatus(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  long long value = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    value = value * 10 + (line[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value)));
}

int TRPC(const char* host, const char* dir, const char* requestName, int argc,
         const char* const* argv, int* status) {
  detail::InterruptScope scope;
  int result;
  try {
    result = Call(host, dir, requestName, argc, argv, status, scope);
  } catch (const std::bad_alloc&) {
    result = kTrpcSystemError;
  }
  // The call's files are gone by now; an interrupt ends the process the way
  // the signal would have, so the shell sees an interrupted command.
  if (int sig = detail::PendingInterrupt()) detail::DieOf(sig);
  return result;
}

}  // namespace prclient
