// The remote call: a request file dropped into the controller's request
// directory, a poll for the reply under the name the client chose, and the
// reply relayed. Every local file the call makes is gone when it returns.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "interrupt.h"
#include "number.h"
#include "posix_util.h"
#include "prclient.h"

namespace prclient {
namespace {

constexpr std::size_t kStatusLine = 256;
constexpr std::size_t kRelayChunk = 256;

// The reply is fetched into a directory of the call's own: its name is in
// the world-readable request, and in the shared scratch directory a link
// planted under it could make the copy write wherever it points. Empty
// when none could be made.
ScopedRemoval PrivateDir(const char* parent) {
  std::string templ = MakePath(parent, "prcXXXXXX");
  if (templ.size() >= kPathSize || ::mkdtemp(templ.data()) == nullptr) return {};
  return ScopedRemoval(std::move(templ));
}

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
  ScopedRemoval request(requestPath);
  MakeUnique(rec.replyName, kNameSize);
  if (putparams(rec, std::move(stream)) != 0) return kTrpcSystemError;

  if (TransportTo(host, dir, rec.controlName, requestPath.c_str(), 1) != 0)
    return kTrpcUnreachable;
  request.Remove();

  ScopedRemoval replyDir = PrivateDir(Tmpqdir);
  if (replyDir.path().empty()) return kTrpcSystemError;
  const std::string replyPath = MakePath(replyDir.path().c_str(), rec.replyName);
  if (replyPath.size() >= kPathSize) return kTrpcSystemError;
  ScopedRemoval replyFile(replyPath);

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
  return static_cast<int>(
      ParseInteger(line, NumberForm::kPrefix, INT_MIN, INT_MAX).value_or(0));
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
