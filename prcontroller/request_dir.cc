#include "request_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "answer.h"

namespace prcontroller {

using prclient::Fd;

namespace {

double SecondsSince(const timespec& then) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec - then.tv_sec) +
         static_cast<double>(now.tv_nsec - then.tv_nsec) / 1e9;
}

// Running out of descriptors or of space passes; the request waits for it.
bool Transient(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOSPC ||
         error == EDQUOT;
}

// What a reply counts against the bounds: the blocks it takes, at least one.
std::uint64_t SpaceOf(std::size_t bytes) {
  constexpr std::uint64_t kBlock = 4096;
  return (std::max<std::uint64_t>(bytes, 1) + kBlock - 1) / kBlock * kBlock;
}

std::string Mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

RequestDir::RequestDir(int dirfd, const Settings& settings, StateSource* state,
                       const Log* log, std::function<bool()> stopping)
    : dirfd_(dirfd), settings_(settings), state_(state), log_(log),
      stopping_(std::move(stopping)) {}

void RequestDir::Examine(std::string_view name_view) {
  if (!IsRequestFileName(name_view)) return;
  const Clock::time_point start = Clock::now();
  const std::string name(name_view);

  Fd fd;
  struct stat st {};
  if (!Open(name, &fd) || ::fstat(fd.get(), &st) != 0) return;
  Pending& p = Track(name, st, start);
  if (p.stuck) return;  // already answered; only its removal failed
  if (!S_ISREG(st.st_mode)) {
    Discard(name, "not a regular file");
    return;
  }
  // Another name for a file elsewhere: the controller may read files its
  // clients cannot, and must not answer from them.
  if (st.st_nlink != 1) {
    Discard(name, "a file with " + std::to_string(st.st_nlink) + " links");
    return;
  }
  // One byte more than a request tells a file that grew past 132 bytes.
  const std::string bytes = prclient::ReadHead(fd.get(), prclient::kRequestSize + 1);
  Request request;
  std::string ignored;
  if (ParseRequest(bytes, &request, &ignored)) {
    // Out of descriptors or space: the others wait with it, unanswered,
    // rather than each make a listing that cannot be written.
    if (starved_) return;
    request.asked = st.st_mtim;
    Answer(name, st.st_uid, request, start);
    return;
  }
  // Still being copied, or damaged: wait until it has not changed for the
  // grace time.
  if (Stale(p, st, start)) GiveUp(name, st.st_uid, bytes, st.st_size);
}

void RequestDir::Appeared(std::string_view name) {
  if (!IsRequestFileName(name)) return;
  struct stat st {};
  if (::fstatat(dirfd_, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && st.st_nlink == 1)
    return;
  Examine(name);
}

bool RequestDir::Open(const std::string& name, Fd* fd) {
  // O_NONBLOCK: a FIFO planted under a request name must not hang us.
  *fd = Fd(::openat(dirfd_, name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (*fd) return true;
  const int err = errno;
  if (err == ENOENT) {
    pending_.erase(name);
    junk_.erase(name);
  } else if (err == ELOOP) {
    // A request is a plain file; a link could make us read, or answer
    // from, any file the controller can reach.
    if (::unlinkat(dirfd_, name.c_str(), 0) == 0)
      log_->Problem("removed " + name + ": a symbolic link, not a request");
    pending_.erase(name);
  } else if (Transient(err)) {
    ReportOnce(name, "cannot open " + name + " now: " + std::strerror(err) + "; will retry");
  } else {
    Discard(name, std::string("cannot be opened: ") + std::strerror(err));
  }
  return false;
}

RequestDir::Pending& RequestDir::Track(const std::string& name, const struct stat& st,
                                       Clock::time_point now) {
  auto [it, fresh] = pending_.try_emplace(name);
  Pending& p = it->second;
  if (fresh || p.ino != st.st_ino || p.size != st.st_size ||
      !SameTime(p.mtime, st.st_mtim))
    p = Pending{st.st_ino, st.st_size, st.st_mtim, now, false, false};
  return p;
}

bool RequestDir::Stale(const Pending& p, const struct stat& st,
                       Clock::time_point now) const {
  // The modification time counts too, so a file found already stale (at
  // start-up, or by --once) is not made to wait again.
  const double grace = settings_.grace_s;
  return std::chrono::duration<double>(now - p.last_change).count() >= grace ||
         SecondsSince(st.st_mtim) >= grace;
}

void RequestDir::Answer(const std::string& name, uid_t owner, const Request& request,
                        Clock::time_point start) {
  if (request.control_name != name)
    log_->Problem(name + " calls itself " + request.control_name +
                  " in its control name; answering it anyway");
  const Reply reply = prcontroller::Answer(request, *state_, std::time(nullptr));
  if (!Deliver(name, owner, request.reply_name, ReplyContent(reply))) return;
  ++answered_;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          Clock::now() - start).count();
  log_->Event("answered " + name + " (" + request.request_name + ", " +
              std::to_string(request.word_count) +
              (request.word_count == 1 ? " word) as " : " words) as ") +
              request.reply_name + ": status " + std::to_string(reply.status) +
              ", " + std::to_string(micros) + " us");
}

void RequestDir::GiveUp(const std::string& name, uid_t owner, std::string_view bytes,
                        off_t size) {
  std::string why;
  Request ignored;
  if (size != static_cast<off_t>(prclient::kRequestSize))
    why = "the request is " + std::to_string(size) + " bytes long, not " +
          std::to_string(prclient::kRequestSize);
  else
    ParseRequest(bytes, &ignored, &why);
  std::string reply_name;
  if (ReadableReplyName(bytes, &reply_name)) {
    if (Deliver(name, owner, reply_name, ReplyContent(MalformedReply(why))))
      log_->Problem("answered malformed " + name + " as " + reply_name + ": " + why);
    return;
  }
  Retire(name, "malformed");
  if (!pending_.count(name))
    log_->Problem("removed malformed " + name + " (no usable reply name): " + why);
}

bool RequestDir::Deliver(const std::string& name, uid_t owner, const std::string& reply_name,
                         const std::string& content) {
  const std::uint64_t space = SpaceOf(content.size());
  if (!WithinBounds(name, owner, space)) {
    Retire(name, "refused");
    return false;
  }
  FileId id;
  int error = 0;
  std::string err;
  const bool written = WriteReplyFile(dirfd_, reply_name, content, &id, &error, &err);
  if (!written && Transient(error)) {
    ReportOnce(name, name + ": " + err + "; keeping the request to answer it later");
    starved_ = true;
    return false;
  }
  if (written) {
    replies_.push_back({reply_name, id, Clock::now(), owner, space});
    kept_[owner].space += space;
    kept_space_ += space;
  } else if (error == EEXIST) {
    log_->Problem("refused " + name + ": " + err);
  } else {
    log_->Problem(name + ": " + err);
  }
  // Removed even when the reply could not be written: answering it again
  // would fail the same way, over and over.
  Retire(name, "answered");
  return written;
}

bool RequestDir::WithinBounds(const std::string& name, uid_t owner, std::uint64_t space) {
  Kept& kept = kept_[owner];
  const bool user_over = kept.space + space > settings_.reply_quota;
  if (!user_over && kept_space_ + space <= settings_.reply_total) {
    if (kept.refused > 1)
      log_->Notice("user " + std::to_string(owner) + " is within the bounds again; " +
                   std::to_string(kept.refused - 1) + " more of its requests were refused");
    kept.refused = 0;
    return true;
  }
  if (kept.refused++ == 0)
    log_->Problem("refused " + name + " of user " + std::to_string(owner) + ": " +
                  (user_over ? "its replies kept hold " + Mib(kept.space) +
                                   ", the bound per user is " + Mib(settings_.reply_quota)
                             : "the replies kept hold " + Mib(kept_space_) +
                                   ", the bound is " + Mib(settings_.reply_total)) +
                  "; its further requests are refused quietly until they fit");
  return false;
}

void RequestDir::Discard(const std::string& name, const std::string& why) {
  struct stat st {};
  const bool seen = ::fstatat(dirfd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const bool removed =
      seen && ::unlinkat(dirfd_, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0;
  const int error = errno;
  pending_.erase(name);
  if (removed) log_->Problem("removed " + name + ": " + why + ", not a request");
  if (!seen || removed) {
    junk_.erase(name);
    return;
  }
  const auto [known, fresh] = junk_.try_emplace(name, st.st_ino);
  if (fresh || known->second != st.st_ino)
    log_->Problem("ignoring " + name + ": " + why + ", not a request, and it cannot be removed: " +
                  std::strerror(error));
  known->second = st.st_ino;
}

void RequestDir::Retire(const std::string& name, std::string_view what) {
  if (::unlinkat(dirfd_, name.c_str(), 0) == 0 || errno == ENOENT) {
    pending_.erase(name);
    return;
  }
  ReportOnce(name, "cannot remove " + std::string(what) + " " + name + ": " +
                       std::strerror(errno));
  pending_[name].stuck = true;
}

void RequestDir::ReportOnce(const std::string& name, const std::string& problem) {
  Pending& p = pending_[name];
  if (!p.reported) log_->Problem(problem);
  p.reported = true;
}

bool RequestDir::List(bool (*wanted)(std::string_view),
                      std::vector<std::pair<std::string, ino_t>>* names) {
  prclient::Dir dir(dirfd_, ".");
  if (!dir) {
    log_->Problem(std::string("cannot list the request directory: ") + std::strerror(errno));
    return false;
  }
  while (const dirent* entry = dir.Next())
    if (wanted(entry->d_name)) names->emplace_back(entry->d_name, entry->d_ino);
  return true;
}

int RequestDir::RemoveLeftovers() {
  std::vector<std::pair<std::string, ino_t>> names;
  List([](std::string_view name) { return name.substr(0, kTempPrefix.size()) == kTempPrefix; },
       &names);
  int removed = 0;
  for (const auto& [name, ino] : names) {
    struct stat st {};
    // Only our own: another user's file is not ours to judge.
    if (::fstatat(dirfd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        ::unlinkat(dirfd_, name.c_str(), 0) == 0)
      ++removed;
  }
  return removed;
}

void RequestDir::Sweep() {
  starved_ = false;
  std::vector<std::pair<std::string, ino_t>> names;
  if (!List(&IsRequestFileName, &names)) return;
  std::unordered_set<std::string_view> present;
  for (const auto& entry : names) present.insert(entry.first);
  for (auto it = pending_.begin(); it != pending_.end();)
    it = present.count(it->first) ? std::next(it) : pending_.erase(it);
  for (auto it = junk_.begin(); it != junk_.end();)
    it = present.count(it->first) ? std::next(it) : junk_.erase(it);
  for (const auto& [name, ino] : names) {
    const auto known = junk_.find(name);
    if (known != junk_.end() && known->second == ino) continue;
    if (stopping_()) return;
    Examine(name);
  }
  ExpireReplies();
}

void RequestDir::Recheck() {
  starved_ = false;
  std::vector<std::string> waiting;
  for (const auto& [name, p] : pending_)
    if (!p.stuck) waiting.push_back(name);
  for (const std::string& name : waiting) {
    if (stopping_()) return;
    Examine(name);
  }
  ExpireReplies();
}

void RequestDir::ExpireReplies() {
  const auto now = Clock::now();
  while (!replies_.empty() &&
         std::chrono::duration<double>(now - replies_.front().at).count() >=
             settings_.reply_age_s) {
    const Written& old = replies_.front();
    struct stat st {};
    // Only the file this controller wrote: a client may have reused the
    // name since, or somebody replaced it.
    if (::fstatat(dirfd_, old.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == old.id.dev && st.st_ino == old.id.ino &&
        ::unlinkat(dirfd_, old.name.c_str(), 0) == 0)
      log_->Event("removed expired reply " + old.name);
    kept_[old.owner].space -= old.space;
    kept_space_ -= old.space;
    replies_.pop_front();
  }
}

}  // namespace prcontroller
