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
#include "wait_line.h"

namespace prclient {
namespace {

// The reply's status line, NUL and all; what a longer one holds beyond it
// is relayed as text.
constexpr std::size_t kStatusLine = 256;
constexpr std::size_t kRelayChunk = 256;

bool Interrupted() { return detail::PendingInterrupt() != 0; }

// Sleeps `seconds` as Delay does; on a terminal, once the call has waited a
// second, `line` says what it waits for.
void Pause(detail::WaitLine& line, int seconds, const std::string& text) {
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

// Fills `rec` with the request name, cut to its field, and the arguments,
// each in double quotes; `quoted` holds the words `rec` points at.
void FillRecord(const char* requestName, int argc, const char* const* argv,
                RequestRecord* rec, std::vector<std::string>* quoted) {
  std::strncpy(rec->requestName, requestName, kNameSize);
  rec->requestName[kNameSize - 1] = '\0';
  argc = std::max(0, std::min(argc, kMaxArgs));
  rec->wordCount = argc + 1;
  rec->words[0] = rec->requestName;
  quoted->reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    quoted->push_back('"' + std::string(argv[i]) + '"');
    rec->words[i + 1] = quoted->back().c_str();
  }
}

// Writes the request in `callDir`, names its reply there (*replyPath) and
// copies the request to the controller. The local request is gone when it
// returns. A TrpcResult.
int Send(const char* host, const char* dir, const std::string& callDir,
         RequestRecord* rec, std::string* replyPath) {
  std::string templ(kControlTemplate);
  FilePtr stream = MakeControl(callDir.c_str(), templ.data(), rec->controlName);
  if (!stream) return kTrpcSystemError;
  ScopedRemoval request(MakePath(callDir.c_str(), rec->controlName));
  MakeUnique(rec->replyName, kNameSize);
  // Checked before anything is sent: a reply that could not be fetched
  // must not be asked for.
  *replyPath = MakePath(callDir.c_str(), rec->replyName);
  if (replyPath->size() >= kPathSize) return kTrpcSystemError;
  if (putparams(*rec, std::move(stream)) != 0) return kTrpcSystemError;
  if (TransportTo(host, dir, rec->controlName, request.path().c_str(), 1) != 0)
    return kTrpcUnreachable;
  return kTrpcOk;
}

// Fetches `replyName` to `replyPath` until a copy succeeds, ntrys times at
// most, pausing netwait seconds before each poll and after the last.
// A TrpcResult; kTrpcOk leaves the caller to find out what was fetched.
int Poll(const char* host, const char* dir, const char* replyName,
         const std::string& replyPath) {
  detail::WaitLine waitLine;
  const std::string waitingFor = std::string("Waiting for ") + host + "'s reply: ";
  auto pause = [&](int made) {
    Pause(waitLine, netwait,
          waitingFor + std::to_string(made) + " of " + std::to_string(ntrys) + " polls made");
  };
  pause(0);
  int failed = 0;
  while (failed < ntrys && !Interrupted()) {
    waitLine.Erase();  // the copy command may ask or complain on the terminal
    if (TransportFrom(host, dir, replyName, replyPath.c_str(), 1) == 0) break;
    ++failed;
    pause(failed);
  }
  waitLine.Erase();
  if (Interrupted()) return kTrpcSystemError;
  if (failed == ntrys) return kTrpcNoReply;
  return kTrpcOk;
}

// Sets *status from the reply's status line and relays the rest to standard
// output. kTrpcSystemError when there is no status line or standard output
// refused any of the rest, so the caller does not report a lost answer as
// given.
int Relay(std::FILE* reply, int* status) {
  char line[kStatusLine];
  if (!std::fgets(line, sizeof line, reply)) return kTrpcSystemError;
  *status = ParseStatus(line);
  char chunk[kRelayChunk];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, reply)) > 0)
    if (std::fwrite(chunk, 1, got, stdout) != got) return kTrpcSystemError;
  if (std::ferror(reply) || std::fflush(stdout) != 0) return kTrpcSystemError;
  return kTrpcOk;
}

int Call(const char* host, const char* dir, const char* requestName, int argc,
         const char* const* argv, int* status, detail::InterruptScope& scope) {
  RequestRecord rec;
  std::vector<std::string> quoted;
  FillRecord(requestName, argc, argv, &rec, &quoted);

  // The request and the reply are made in a directory of the call's own:
  // in the shared scratch directory another user could learn the request's
  // name before it is delivered and plant a link under it at the
  // controller, and the reply's name is in the world-readable request.
  ScopedRemoval callDir(MakeCallDir(Tmpqdir));
  if (callDir.path().empty()) return kTrpcSystemError;
  std::string replyPath;
  if (int sent = Send(host, dir, callDir.path(), &rec, &replyPath); sent != kTrpcOk)
    return sent;
  ScopedRemoval replyFile(replyPath);
  if (int polled = Poll(host, dir, rec.replyName, replyPath); polled != kTrpcOk)
    return polled;

  FilePtr reply(std::fopen(replyPath.c_str(), "r"));
  if (!reply) return kTrpcSystemError;
  // The open reply outlives its name: with nothing left on disk, an
  // interrupt while a slow reader holds up the relay may act at once.
  replyFile.Remove();
  callDir.Remove();
  scope.Lift();
  return Relay(reply.get(), status);
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
