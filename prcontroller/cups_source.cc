#include "cups_source.h"

#include <cups/cups.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "number.h"

extern char** environ;

namespace prcontroller {
namespace {

using Clock = std::chrono::steady_clock;

// A reply must reach the client well inside its first poll, and a scheduler
// that hangs must not hold the controller: every request to it, connecting
// included, ends within this time.
constexpr auto kBudget = std::chrono::milliseconds(1500);

struct HttpClose {
  void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

const char* const kJobAttributes[] = {
    "job-id", "job-originating-user-name", "job-name", "job-k-octets", "job-state",
    "job-printer-uri", "time-at-creation", "copies", "job-impressions"};
const char* const kPrinterAttributes[] = {
    "printer-name", "printer-state", "printer-is-accepting-jobs", "printer-state-reasons",
    "printer-state-message", "queued-job-count", "printer-info"};

JobStatus StatusOf(int job_state) {
  switch (job_state) {
    case IPP_JSTATE_PENDING:
      return JobStatus::kQueued;
    case IPP_JSTATE_HELD:
      return JobStatus::kHeld;
    case IPP_JSTATE_PROCESSING:
      return JobStatus::kPrinting;
    case IPP_JSTATE_STOPPED:
    case IPP_JSTATE_ABORTED:
      return JobStatus::kError;
    default:  // canceled, completed
      return JobStatus::kDone;
  }
}

std::string PrinterStateName(int state) {
  switch (state) {
    case IPP_PSTATE_IDLE:
      return "idle";
    case IPP_PSTATE_PROCESSING:
      return "processing";
    case IPP_PSTATE_STOPPED:
      return "stopped";
  }
  return "state " + std::to_string(state);
}

std::string Text(ipp_attribute_t* attr) {
  const char* value = ippGetString(attr, 0, nullptr);
  return value ? value : "";
}

// Calls `each` with the attributes of every group tagged `group` in turn.
template <typename Each>
void ForEachGroup(ipp_t* response, ipp_tag_t group, Each each) {
  std::vector<ipp_attribute_t*> attrs;
  for (ipp_attribute_t* a = ippFirstAttribute(response);; a = ippNextAttribute(response)) {
    if (!a || ippGetGroupTag(a) != group) {
      if (!attrs.empty()) each(attrs);
      attrs.clear();
      if (!a) return;
      continue;
    }
    attrs.push_back(a);
  }
}

// Bounds one exchange with the scheduler. libcups's own timeout makes it
// poll before every small read, which doubles the time of a large listing;
// instead the socket is shut down when the time is up, so whatever libcups
// is blocked in returns at once and the request fails.
class Watchdog {
 public:
  Watchdog(int fd, Clock::duration left) {
    static const bool installed = [] {
      struct sigaction sa {};
      sa.sa_handler = &Watchdog::OnAlarm;
      sigemptyset(&sa.sa_mask);
      return sigaction(SIGALRM, &sa, nullptr) == 0;
    }();
    if (!installed) return;
    fd_ = fd;
    const auto us = std::max<long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(left).count(), 1);
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(us / 1000000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(us % 1000000);
    ::setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~Watchdog() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    fd_ = -1;
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static void OnAlarm(int) {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }
  static inline volatile sig_atomic_t fd_ = -1;
};

// Hands the IPP parser a response body read from the connection in large
// blocks. libcups's own reader asks the socket for each field separately
// (some 4600 reads of 1 to 30 bytes for a hundred jobs) whenever the body
// has not all arrived with the header, as is usual for a long listing.
class BodyReader {
 public:
  explicit BodyReader(http_t* http) : http_(http) {}
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;

  static ssize_t Read(void* self, ipp_uchar_t* out, size_t n) {
    return static_cast<BodyReader*>(self)->Fill(out, n);
  }

 private:
  // The parser takes anything short of `n` for a truncated message.
  ssize_t Fill(ipp_uchar_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (next_ == end_) {
        const ssize_t got = httpRead2(http_, block_, sizeof block_);
        if (got <= 0) return done > 0 ? static_cast<ssize_t>(done) : got;
        next_ = 0;
        end_ = static_cast<size_t>(got);
      }
      const size_t take = std::min(n - done, end_ - next_);
      std::memcpy(out + done, block_ + next_, take);
      next_ += take;
      done += take;
    }
    return static_cast<ssize_t>(done);
  }

  http_t* http_;
  char block_[32768] = {};
  size_t next_ = 0, end_ = 0;
};

class CupsSource : public StateSource {
 public:
  CupsSource(std::string host, int port, std::string label, const Log& log)
      : host_(std::move(host)), port_(port), label_(std::move(label)), log_(log) {}

  const SpoolState* Current(const StateScope& scope, std::string* problem) override {
    deadline_ = Clock::now() + kBudget;
    std::string err;
    if (Fetch(scope, &err)) {
      if (!last_failure_.empty()) log_.Notice("CUPS scheduler at " + label_ + " answers again");
      last_failure_.clear();
      return &state_;
    }
    // Whatever went wrong, the next request starts on a fresh connection.
    http_.reset();
    *problem = "CUPS scheduler at " + label_ + ": " + err;
    if (*problem != last_failure_) log_.Problem(*problem);
    last_failure_ = *problem;
    return nullptr;
  }

 private:
  bool Connect(std::string* err) {
    // A scheduler that went away (restarted, or closed an idle connection)
    // leaves the kept socket readable at end of file: start afresh rather
    // than let libcups reconnect with its own, much longer, timeout.
    if (http_) {
      pollfd p{httpGetFd(http_.get()), POLLIN, 0};
      if (::poll(&p, 1, 0) != 0) http_.reset();
    }
    if (http_) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - Clock::now());
    http_.reset(httpConnect2(host_.c_str(), port_, nullptr, AF_UNSPEC,
                             HTTP_ENCRYPTION_IF_REQUESTED, 1,
                             static_cast<int>(std::max<long long>(left.count(), 1)), nullptr));
    if (!http_) {
      // libcups keeps no useful errno or message for a failed connect.
      *err = Clock::now() >= deadline_ ? NoAnswer() : "cannot connect: nothing listens there";
      return false;
    }
    return true;
  }

  static std::string NoAnswer() {
    return "no answer within " + std::to_string(kBudget.count()) + " ms";
  }

  // Sends `request` and returns the response, or null with `err` set. A
  // not-found status (no printers, no jobs) is an empty answer.
  Ipp Ask(ipp_t* request, const char* const* attrs, int n_attrs, std::string* err) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  n_attrs, nullptr, attrs);
    Ipp response;
    std::string failure;
    {
      const Watchdog watchdog(httpGetFd(http_.get()), deadline_ - Clock::now());
      response = Exchange(Ipp(request), &failure);
    }
    if (!response) {
      *err = Clock::now() >= deadline_ ? NoAnswer() : failure;
      return nullptr;
    }
    const ipp_status_t status = ippGetStatusCode(response.get());
    if (status > IPP_STATUS_OK_EVENTS_COMPLETE && status != IPP_STATUS_ERROR_NOT_FOUND) {
      ipp_attribute_t* message =
          ippFindAttribute(response.get(), "status-message", IPP_TAG_TEXT);
      *err = message ? Text(message) : ippErrorString(status);
      return nullptr;
    }
    return response;
  }

  // One request and its response over the kept connection, the response
  // read through BodyReader. libcups sends the request (answering a
  // scheduler that wants credentials or encryption first) and reads the
  // response's header.
  Ipp Exchange(Ipp request, std::string* err) {
    http_t* http = http_.get();
    http_status_t status = cupsSendRequest(http, request.get(), "/", ippLength(request.get()));
    if (status == HTTP_STATUS_CONTINUE || status == HTTP_STATUS_OK)
      do status = httpUpdate(http);
      while (status == HTTP_STATUS_CONTINUE);
    if (status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_UPGRADE_REQUIRED) {
      // Asked only once the request was sent: libcups's whole exchange
      // knows how to answer that and try again.
      Ipp response(cupsDoRequest(http, request.release(), "/"));
      if (!response) *err = cupsLastErrorString();
      return response;
    }
    // On a failure the connection is dropped, so nothing is flushed.
    if (status != HTTP_STATUS_OK) {
      const int error = httpError(http);
      *err = status == HTTP_STATUS_ERROR ? (error ? std::strerror(error) : "connection lost")
                                         : httpStatus(status);
      return nullptr;
    }
    Ipp response(ippNew());
    BodyReader body(http);
    ipp_state_t state;
    do state = ippReadIO(&body, &BodyReader::Read, 1, nullptr, response.get());
    while (state != IPP_STATE_DATA && state != IPP_STATE_ERROR);
    if (state == IPP_STATE_ERROR) {
      *err = "unreadable response";
      return nullptr;
    }
    if (httpGetState(http) != HTTP_STATE_WAITING) httpFlush(http);
    return response;
  }

  bool Fetch(const StateScope& scope, std::string* err) {
    state_.queues.clear();
    state_.jobs.clear();
    if (!Connect(err)) return false;
    if (scope.queues) {
      Ipp response = Ask(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS), kPrinterAttributes,
                         std::size(kPrinterAttributes), err);
      if (!response) return false;
      ForEachGroup(response.get(), IPP_TAG_PRINTER, [this](const auto& attrs) {
        state_.queues.push_back(QueueFrom(attrs));
      });
    }
    if (scope.jobs && (scope.finished || scope.unfinished)) {
      ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                   "ipp://localhost/");
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                   !scope.finished     ? "not-completed"
                   : !scope.unfinished ? "completed"
                                       : "all");
      Ipp response = Ask(request, kJobAttributes, std::size(kJobAttributes), err);
      if (!response) return false;
      std::vector<std::pair<int, Job>> jobs;
      ForEachGroup(response.get(), IPP_TAG_JOB, [&jobs](const auto& attrs) {
        jobs.push_back(JobFrom(attrs));
      });
      // In order of submission, as lpstat lists them.
      std::sort(jobs.begin(), jobs.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      for (auto& job : jobs) state_.jobs.push_back(std::move(job.second));
    }
    return true;
  }

  static Queue QueueFrom(const std::vector<ipp_attribute_t*>& attrs) {
    Queue q;
    for (ipp_attribute_t* a : attrs) {
      const std::string_view name = ippGetName(a);
      if (name == "printer-name") q.name = Text(a);
      else if (name == "printer-info") q.description = Text(a);
      else if (name == "printer-state") q.state = PrinterStateName(ippGetInteger(a, 0));
      else if (name == "printer-is-accepting-jobs") q.accepting = ippGetBoolean(a, 0) != 0;
      else if (name == "printer-state-message") q.message = Text(a);
      else if (name == "queued-job-count")
        q.job_count = static_cast<std::size_t>(std::max(ippGetInteger(a, 0), 0));
      else if (name == "printer-state-reasons")
        for (int i = 0; i < ippGetCount(a); ++i)
          if (const char* r = ippGetString(a, i, nullptr); r && std::strcmp(r, "none") != 0)
            q.reasons.emplace_back(r);
    }
    return q;
  }

  static std::pair<int, Job> JobFrom(const std::vector<ipp_attribute_t*>& attrs) {
    Job job;
    int id = 0;
    long long impressions = 0, copies = 1;
    bool named = false;
    for (ipp_attribute_t* a : attrs) {
      const std::string_view name = ippGetName(a);
      if (name == "job-id") id = ippGetInteger(a, 0);
      else if (name == "job-originating-user-name") job.owner = Text(a);
      // A name that is not valid UTF-8 is kept raw and followed by a second
      // job-name, "Untitled"; the raw one is what the user submitted, and
      // the listing makes it visible like any other name.
      else if (name == "job-name" && !std::exchange(named, true)) job.name = Text(a);
      else if (name == "job-state") job.status = StatusOf(ippGetInteger(a, 0));
      else if (name == "time-at-creation") job.submitted = ippGetInteger(a, 0);
      else if (name == "job-impressions") impressions = std::max(ippGetInteger(a, 0), 0);
      else if (name == "copies") copies = std::max(ippGetInteger(a, 0), 1);
      else if (name == "job-k-octets")
        job.size = static_cast<std::uint64_t>(std::max(ippGetInteger(a, 0), 0)) * 1024;
      else if (name == "job-printer-uri") {
        const std::string uri = Text(a);
        job.queue = uri.substr(uri.rfind('/') + 1);
      }
    }
    job.id = std::to_string(id);
    job.pages = static_cast<std::uint64_t>(impressions * copies);
    job.size_in_kib = true;
    return {id, std::move(job)};
  }

  std::string host_;
  int port_;
  std::string label_;
  const Log& log_;
  Http http_;
  Clock::time_point deadline_;
  SpoolState state_;
  std::string last_failure_;  // logged once, not on every request
};

// libcups takes the scheduler, its port, the user and the encryption from
// the environment and from $HOME/.cups/client.conf, and finds the system's
// client.conf through CUPS_SERVERROOT. A service's HOME may be a directory
// the clients' users can write, and none of them may choose whom the
// controller asks: only --cups, the system's client.conf and the default
// socket do. Without HOME libcups looks in the user's home from the
// password file, so HOME names a place that can hold no ".cups". Done
// before libcups first looks, which is when it reads them.
void ForgetUserSettings() {
  std::vector<std::string> names{"IPP_PORT"};
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view var(*entry);
    if (var.substr(0, 5) == "CUPS_") names.emplace_back(var.substr(0, var.find('=')));
  }
  for (const std::string& name : names) ::unsetenv(name.c_str());
  ::setenv("HOME", "/dev/null", 1);
}

}  // namespace

std::unique_ptr<StateSource> OpenCupsSource(const std::string& server, const Log& log,
                                            std::string* err) {
  ForgetUserSettings();
  std::string host = server.empty() ? cupsServer() : server;
  int port = ippPort();
  if (host.empty() || host[0] != '/') {
    if (const std::size_t colon = host.rfind(':'); colon != std::string::npos) {
      const std::optional<long long> number = prclient::ParseInteger(
          std::string_view(host).substr(colon + 1), prclient::NumberForm::kWhole, 1, 65535);
      if (!number) {
        *err = "--cups: \"" + server + "\" is not HOST, HOST:PORT or a socket path";
        return nullptr;
      }
      port = static_cast<int>(*number);
      host.resize(colon);
    }
    if (host.empty()) host = "localhost";
  }
  // A scheduler that asks for a password gets none: libcups would otherwise
  // prompt on the controller's terminal and wait there.
  cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) -> const char* {
    return nullptr;
  }, nullptr);
  std::string label = host[0] == '/' ? host : host + ":" + std::to_string(port);
  return std::make_unique<CupsSource>(std::move(host), port, std::move(label), log);
}

}  // namespace prcontroller
