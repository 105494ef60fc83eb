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
#include "status_line.h"
#include "prclient.h"

namespace prclient {
namespace {

constexpr std::size_t kStatusLine = 256;
constexpr std::size_t kRelayChunk = 256;

bool Interrupted() { return detail::PendingInterrupt() != 0; }

// Sleeps `seconds` as Delay does; on a terminal, once the call has waited a
// second, `line` says what it waits for.
void Pause(detail::StatusLine& line, int seconds, const std::string& text) {
  if (seconds <= 0) {
    // Without a pause the polls still take the interrupts that came.
    const timespec look{0, 0};
    detail::WaitForSignal(false, &look);
    return;
  }
  const timespec end = detail::After(seconds);
  if (line.on()) {
    const timespec& from = line.from();
    const bool fromFirst = from.tv_sec < end.tv_sec ||
                           (from.tv_sec == end.tv_sec && from.tv_nsec < end.tv_nsec);
    if (fromFirst && !detail::WaitUntil(from)) return;
    if (detail::Passed(from)) line.Show(text);
  }
  detail::WaitUntil(end);
}

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

  // The request and the reply are made in a directory of the call's own:
  // in the shared scratch directory another user could learn the request's
  // name before it is delivered and plant a link under it at the
  // controller, and the reply's name is in the world-readable request.
  ScopedRemoval callDir(MakeCallDir(Tmpqdir));
  if (callDir.path().empty()) return kTrpcSystemError;
  char templ[] = "sprXXXXXX";
  FilePtr stream = MakeControl(callDir.path().c_str(), templ, rec.controlName);
  if (!stream) return kTrpcSystemError;
  ScopedRemoval request(MakePath(callDir.path().c_str(), rec.controlName));
  MakeUnique(rec.replyName, kNameSize);
  // Checked before anything is sent: a reply that could not be fetched
  // must not be asked for.
  const std::string replyPath = MakePath(callDir.path().c_str(), rec.replyName);
  if (replyPath.size() >= kPathSize) return kTrpcSystemError;
  if (putparams(rec, std::move(stream)) != 0) return kTrpcSystemError;

  if (TransportTo(host, dir, rec.controlName, request.path().c_str(), 1) != 0)
    return kTrpcUnreachable;
  request.Remove();
  ScopedRemoval replyFile(replyPath);

  detail::StatusLine waitLine;
  const std::string waitingFor = std::string("Waiting for ") + host + "'s reply: ";
  auto pause = [&](int made) {
    Pause(waitLine, netwait,
          waitingFor + std::to_string(made) + " of " + std::to_string(ntrys) + " polls made");
  };
  pause(0);
  int failed = 0;
  while (failed < ntrys && !Interrupted()) {
    waitLine.Erase();  // the copy command may ask or complain on the terminal
    if (TransportFrom(host, dir, rec.replyName, replyPath.c_str(), 1) == 0) break;
    ++failed;
    pause(failed);
  }
  waitLine.Erase();
  if (Interrupted()) return kTrpcSystemError;
  if (failed == ntrys) return kTrpcNoReply;

  FilePtr reply(std::fopen(replyPath.c_str(), "r"));
  if (!reply) return kTrpcSystemError;
  // The open reply outlives its name: with nothing left on disk, an
  // interrupt while a slow reader holds up the relay may act at once.
  replyFile.Remove();
  callDir.Remove();
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
