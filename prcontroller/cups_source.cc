#include "cups_source.h"

#include <cups/cups.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "number.h"

extern char** environ;

namespace prcontroller {
namespace {

using Clock = std::chrono::steady_clock;

// Get-Jobs answers of this many jobs at a time when ended jobs are asked
// for: the scheduler reads an ended job's attributes back from its files,
// and cuts such an answer at 500 jobs.
constexpr int kPageJobs = 500;
// Room for a listing of well over 100 000 jobs (about 300 bytes each),
// well inside the service's memory: a larger answer is refused.
constexpr std::size_t kMaxResponse = std::size_t{48} << 20;
// After a failed exchange, requests in this long get its reason at once
// rather than each waiting out the limits again.
constexpr auto kBackOff = std::chrono::seconds(1);

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
    "job-printer-uri", "time-at-creation", "time-at-completed", "job-priority"};
const char* const kPageAttributes[] = {"copies", "job-impressions"};
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

// The queue a job URI names, as the scheduler names it: its last segment,
// percent-decoded ("dr%C3%BCcker" is "drücker"). A malformed escape is kept.
std::string QueueOfUri(std::string_view uri) {
  const std::string_view segment = uri.substr(uri.rfind('/') + 1);
  std::string name;
  for (std::size_t i = 0; i < segment.size(); ++i) {
    const auto hex = [&](std::size_t at) {
      const char c = at < segment.size() ? segment[at] : '\0';
      return std::isxdigit(static_cast<unsigned char>(c))
                 ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10)
                 : -1;
    };
    if (segment[i] == '%' && hex(i + 1) >= 0 && hex(i + 2) >= 0) {
      name += static_cast<char>(hex(i + 1) * 16 + hex(i + 2));
      i += 2;
    } else {
      name += segment[i];
    }
  }
  return name;
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

// Bounds an exchange with the scheduler: it fails when the scheduler sends
// nothing for the idle limit, or when the exchange runs past its overall
// limit. libcups's own timeout makes it poll before every small read, which
// doubles the time of a large listing, and its reconnects wait far longer;
// instead, when time is up, the socket the connection holds at that moment
// is shut down, so whatever libcups is blocked in returns at once, and the
// alarm repeats until the exchange gives up, in case libcups has made
// itself another socket meanwhile.
class Watchdog {
 public:
  enum class Fired { kNo, kIdle, kTotal };

  Watchdog(http_t* http, Clock::duration idle, Clock::time_point end)
      : idle_(idle), end_(end) {
    shut_ = 0;
    static const bool installed = [] {
      struct sigaction sa {};
      sa.sa_handler = &Watchdog::OnAlarm;
      sigemptyset(&sa.sa_mask);
      return sigaction(SIGALRM, &sa, nullptr) == 0;
    }();
    if (!installed) return;
    http_ = http;
    Progress();
  }
  ~Watchdog() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    http_ = nullptr;
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // The scheduler sent something: the idle limit starts again.
  void Progress() {
    const Clock::time_point now = Clock::now();
    Arm(std::min(now + idle_, end_) - now);
  }
  // Why the exchange was cut, if it was.
  Fired fired() const {
    if (!shut_) return Fired::kNo;
    return Clock::now() >= end_ ? Fired::kTotal : Fired::kIdle;
  }

 private:
  static void Arm(Clock::duration left) {
    const auto us = std::max<long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(left).count(), 1);
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(us / 1000000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(us % 1000000);
    timer.it_interval.tv_usec = 20000;
    ::setitimer(ITIMER_REAL, &timer, nullptr);
  }
  static void OnAlarm(int) {
    if (http_ == nullptr) return;
    shut_ = 1;
    if (const int fd = httpGetFd(http_); fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }

  Clock::duration idle_;
  Clock::time_point end_;
  static inline http_t* volatile http_ = nullptr;
  static inline volatile sig_atomic_t shut_ = 0;
};

// Hands the IPP parser a response body read from the connection in large
// blocks. libcups's own reader asks the socket for each field separately
// (some 4600 reads of 1 to 30 bytes for a hundred jobs) whenever the body
// has not all arrived with the header, as is usual for a long listing. Every
// block read counts as progress; a body past kMaxResponse is refused.
class BodyReader {
 public:
  BodyReader(http_t* http, Watchdog* watchdog) : http_(http), watchdog_(watchdog) {}
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;

  static ssize_t Read(void* self, ipp_uchar_t* out, size_t n) {
    return static_cast<BodyReader*>(self)->Fill(out, n);
  }
  bool too_large() const { return too_large_; }
  // Bytes read from the connection and not handed to the parser.
  bool leftover() const { return next_ != end_; }

 private:
  // The parser takes anything short of `n` for a truncated message.
  ssize_t Fill(ipp_uchar_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (next_ == end_) {
        if (total_ >= kMaxResponse) {
          too_large_ = true;
          return -1;
        }
        const ssize_t got = httpRead2(http_, block_, sizeof block_);
        if (got <= 0) return done > 0 ? static_cast<ssize_t>(done) : got;
        watchdog_->Progress();
        total_ += static_cast<size_t>(got);
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
  Watchdog* watchdog_;
  char block_[32768] = {};
  size_t next_ = 0, end_ = 0, total_ = 0;
  bool too_large_ = false;
};

std::string Seconds(Clock::duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000) {
    text += "." + std::to_string(1000 + ms % 1000).substr(1);
    text.erase(text.find_last_not_of('0') + 1);
  }
  return text + " s";
}

bool Covers(const StateScope& had, const StateScope& want) {
  return (had.queues || !want.queues) && (had.jobs || !want.jobs) &&
         (had.finished || !want.finished || !want.jobs) &&
         (had.unfinished || !want.unfinished || !want.jobs) && (had.pages || !want.pages);
}

bool NotBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// Print order: what prints now, then what waits, by priority (highest
// first) and submission; then what ended, the most recent last.
bool PrintsBefore(const Job& a, const Job& b) {
  const auto rank = [](const Job& j) {
    return j.status == JobStatus::kPrinting ? 0
           : j.status == JobStatus::kDone || j.completed != 0 ? 2  // aborted ones too
                                                              : 1;
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  if (rank(a) == 2 && a.completed != b.completed) return a.completed < b.completed;
  if (rank(a) == 1 && a.priority != b.priority) return a.priority > b.priority;
  return a.number < b.number;
}

class CupsSource : public StateSource {
 public:
  CupsSource(std::string host, int port, std::string label, Clock::duration idle,
             Clock::duration total, const Log& log)
      : host_(std::move(host)), port_(port), label_(std::move(label)), idle_(idle),
        total_(total), log_(log) {}

  const SpoolState* Current(const StateScope& scope, std::string* problem) override {
    // One exchange answers every request that was complete when it began.
    if (fresh_ && Covers(had_, scope) && NotBefore(began_, scope.asked)) return &state_;
    if (!last_failure_.empty() && Clock::now() < failed_at_ + kBackOff) {
      *problem = last_failure_;
      return nullptr;
    }
    ::clock_gettime(CLOCK_REALTIME, &began_);
    deadline_ = Clock::now() + total_;
    std::string err;
    if (Fetch(scope, &err)) {
      if (!last_failure_.empty()) log_.Notice("CUPS scheduler at " + label_ + " answers again");
      last_failure_.clear();
      fresh_ = true;
      had_ = scope;
      return &state_;
    }
    // Whatever went wrong, the next exchange starts on a fresh connection.
    http_.reset();
    fresh_ = false;
    failed_at_ = Clock::now();
    *problem = "CUPS scheduler at " + label_ + ": " + err;
    if (*problem != last_failure_) log_.Problem(*problem);
    last_failure_ = *problem;
    return nullptr;
  }

  void Reread() override { fresh_ = false; }

 private:
  bool Connect(std::string* err) {
    // A connection libcups closed, or one the scheduler closed or wrote to
    // unasked (it is readable at end of file, or holds bytes of no answer),
    // is not used again: libcups would reconnect with its own, much longer,
    // timeout, or hand the stray bytes to the next answer.
    if (http_) {
      pollfd p{httpGetFd(http_.get()), POLLIN, 0};
      if (p.fd < 0 || ::poll(&p, 1, 0) != 0 || httpGetReady(http_.get())) http_.reset();
    }
    if (http_) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min(idle_, deadline_ - Clock::now()));
    http_.reset(httpConnect2(host_.c_str(), port_, nullptr, AF_UNSPEC,
                             HTTP_ENCRYPTION_IF_REQUESTED, 1,
                             static_cast<int>(std::max<long long>(left.count(), 1)), nullptr));
    if (!http_) {
      // libcups keeps no useful errno or message for a failed connect.
      *err = "cannot connect: nothing answers there";
      return false;
    }
    return true;
  }

  // Sends `request` and returns the response, or null with `err` set. A
  // not-found status (no printers, no jobs) is an empty answer.
  Ipp Ask(ipp_t* request, std::vector<const char*> attrs, std::string* err) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(attrs.size()), nullptr, attrs.data());
    Ipp response;
    std::string failure;
    const int fd = httpGetFd(http_.get());
    {
      Watchdog watchdog(http_.get(), idle_, deadline_);
      response = Exchange(Ipp(request), &watchdog, &failure);
      switch (watchdog.fired()) {
        case Watchdog::Fired::kNo: break;
        case Watchdog::Fired::kIdle: failure = "no answer for " + Seconds(idle_); break;
        case Watchdog::Fired::kTotal: failure = "no whole answer within " + Seconds(total_); break;
      }
      if (watchdog.fired() != Watchdog::Fired::kNo) response.reset();
    }
    // A socket libcups closed or made anew is not the one watched: not kept.
    if (httpGetFd(http_.get()) != fd) http_.reset();
    if (!response) {
      *err = failure;
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
  // read through BodyReader. libcups sends the request and reads the
  // response's header. What does not end where it should fails, and the
  // connection with it.
  Ipp Exchange(Ipp request, Watchdog* watchdog, std::string* err) {
    http_t* http = http_.get();
    http_status_t status = cupsSendRequest(http, request.get(), "/", ippLength(request.get()));
    if (status == HTTP_STATUS_CONTINUE || status == HTTP_STATUS_OK)
      do status = httpUpdate(http);
      while (status == HTTP_STATUS_CONTINUE);
    if (status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_FORBIDDEN) {
      *err = "it asks for authentication, and the controller has no credentials to offer it";
      return nullptr;
    }
    if (status != HTTP_STATUS_OK) {
      const int error = httpError(http);
      *err = status == HTTP_STATUS_ERROR ? (error ? std::strerror(error) : "connection lost")
                                         : httpStatus(status);
      return nullptr;
    }
    if (httpGetLength2(http) > static_cast<off_t>(kMaxResponse)) {
      *err = "its answer is larger than " + std::to_string(kMaxResponse >> 20) + " MiB";
      return nullptr;
    }
    watchdog->Progress();
    Ipp response(ippNew());
    BodyReader body(http, watchdog);
    ipp_state_t state;
    do state = ippReadIO(&body, &BodyReader::Read, 1, nullptr, response.get());
    while (state != IPP_STATE_DATA && state != IPP_STATE_ERROR);
    if (body.too_large()) {
      *err = "its answer is larger than " + std::to_string(kMaxResponse >> 20) + " MiB";
      return nullptr;
    }
    if (state == IPP_STATE_ERROR) {
      *err = "its answer is cut short or unreadable";
      return nullptr;
    }
    // Bytes past the answer, or an answer shorter than its length: the
    // scheduler is out of step, and none of it may reach the next answer.
    if (body.leftover() || httpGetReady(http) || httpGetRemaining(http) > 0 ||
        httpGetState(http) != HTTP_STATE_WAITING) {
      *err = "its answer does not end where its length says";
      return nullptr;
    }
    return response;
  }

  bool Fetch(const StateScope& scope, std::string* err) {
    state_.queues.clear();
    state_.jobs.clear();
    if (!Connect(err)) return false;
    if (scope.queues) {
      Ipp response = Ask(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS),
                         {std::begin(kPrinterAttributes), std::end(kPrinterAttributes)}, err);
      if (!response) return false;
      ForEachGroup(response.get(), IPP_TAG_PRINTER, [this](const auto& attrs) {
        state_.queues.push_back(QueueFrom(attrs));
      });
    }
    if (scope.jobs && (scope.finished || scope.unfinished) && !FetchJobs(scope, err))
      return false;
    std::stable_sort(state_.jobs.begin(), state_.jobs.end(), &PrintsBefore);
    return true;
  }

  // The jobs, in pages when ended jobs are among them; a job seen twice (the
  // list moved between pages) is listed once.
  bool FetchJobs(const StateScope& scope, std::string* err) {
    std::vector<const char*> attrs(std::begin(kJobAttributes), std::end(kJobAttributes));
    if (scope.pages) attrs.insert(attrs.end(), std::begin(kPageAttributes), std::end(kPageAttributes));
    std::unordered_set<int> seen;
    const bool paged = scope.finished;
    for (int first = 1;;) {
      if (!Connect(err)) return false;
      ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                   "ipp://localhost/");
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                   !scope.finished     ? "not-completed"
                   : !scope.unfinished ? "completed"
                                       : "all");
      if (paged) {
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "first-index", first);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", kPageJobs);
      }
      Ipp response = Ask(request, attrs, err);
      if (!response) return false;
      int count = 0;
      ForEachGroup(response.get(), IPP_TAG_JOB, [&](const auto& attrs) {
        ++count;
        Job job = JobFrom(attrs);
        if (seen.insert(job.number).second) state_.jobs.push_back(std::move(job));
      });
      // A scheduler that cuts an answer says where.
      ipp_attribute_t* limit = ippFindAttribute(response.get(), "limit", IPP_TAG_INTEGER);
      if (limit && count >= ippGetInteger(limit, 0) && (!paged || ippGetInteger(limit, 0) < kPageJobs)) {
        *err = "it cut its list of jobs at " + std::to_string(ippGetInteger(limit, 0));
        return false;
      }
      if (!paged || count < kPageJobs) return true;
      first += count;
    }
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

  static Job JobFrom(const std::vector<ipp_attribute_t*>& attrs) {
    Job job;
    long long impressions = 0, copies = 1;
    bool named = false;
    for (ipp_attribute_t* a : attrs) {
      const std::string_view name = ippGetName(a);
      if (name == "job-id") job.number = ippGetInteger(a, 0);
      else if (name == "job-originating-user-name") job.owner = Text(a);
      // A name that is not valid UTF-8 is kept raw and followed by a second
      // job-name, "Untitled"; the raw one is what the user submitted, and
      // the listing makes it visible like any other name.
      else if (name == "job-name" && !std::exchange(named, true)) job.name = Text(a);
      else if (name == "job-state") job.status = StatusOf(ippGetInteger(a, 0));
      else if (name == "time-at-creation") job.submitted = ippGetInteger(a, 0);
      else if (name == "time-at-completed") job.completed = ippGetInteger(a, 0);
      else if (name == "job-priority") job.priority = ippGetInteger(a, 0);
      else if (name == "job-impressions") impressions = std::max(ippGetInteger(a, 0), 0);
      else if (name == "copies") copies = std::max(ippGetInteger(a, 0), 1);
      else if (name == "job-k-octets")
        job.size = static_cast<std::uint64_t>(std::max(ippGetInteger(a, 0), 0)) * 1024;
      else if (name == "job-printer-uri") job.queue = QueueOfUri(Text(a));
    }
    job.id = std::to_string(job.number);
    job.pages = static_cast<std::uint64_t>(impressions * copies);
    job.size_in_kib = true;
    return job;
  }

  std::string host_;
  int port_;
  std::string label_;
  Clock::duration idle_, total_;
  const Log& log_;
  Http http_;
  Clock::time_point deadline_;
  SpoolState state_;
  bool fresh_ = false;  // state_ is a whole answer, of scope had_, begun at began_
  StateScope had_;
  timespec began_{};
  std::string last_failure_;  // logged once, not on every request
  Clock::time_point failed_at_;
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

std::unique_ptr<StateSource> OpenCupsSource(const Settings& settings, const Log& log,
                                            std::string* err) {
  const std::string& server = *settings.cups;
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
  const auto duration = [](double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  };
  return std::make_unique<CupsSource>(std::move(host), port, std::move(label),
                                      duration(settings.cups_idle_s),
                                      duration(settings.cups_limit_s), log);
}

}  // namespace prcontroller
