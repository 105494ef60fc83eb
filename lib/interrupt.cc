// The interrupting signals of a remote call, and the monotonic clock its
// waits are measured on.
#include "interrupt.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace prclient::detail {
namespace {

volatile std::sig_atomic_t pendingInterrupt = 0;

// The interrupting signals the running call blocked and may take; empty
// outside a call, so that a wait there takes nothing its caller blocked.
sigset_t callTakes;
bool callActive = false;

// Every signal whose default action ends the process, but for those that
// report a fault of the process itself (SIGSEGV and the like) and SIGKILL
// and SIGSTOP, which cannot be taken.
constexpr int kInterrupts[] = {SIGINT,  SIGQUIT,   SIGTERM, SIGHUP,  SIGUSR1, SIGUSR2,
                               SIGALRM, SIGPIPE,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

bool Ignored(int sig) {
  struct sigaction now {};
  return sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

}  // namespace

InterruptScope::InterruptScope() {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  sigemptyset(&callTakes);
  for (int sig : kInterrupts)
    if (!Ignored(sig) && sigismember(&current, sig) != 1) sigaddset(&callTakes, sig);
  sigset_t block = callTakes;
  sigaddset(&block, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &block, &saved_);
  callActive = true;
}

InterruptScope::~InterruptScope() { Lift(); }

void InterruptScope::Lift() {
  if (lifted_) return;
  lifted_ = true;
  callActive = false;
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

int PendingInterrupt() { return pendingInterrupt; }

int WaitForSignal(bool child, const timespec* timeout) {
  sigset_t set;
  sigemptyset(&set);
  bool any = false;
  for (int sig : kInterrupts) {
    if (callActive && sigismember(&callTakes, sig) == 1) {
      sigaddset(&set, sig);
      any = true;
    }
  }
  if (child) sigaddset(&set, SIGCHLD);
  if (!any && !child) {
    if (timeout) nanosleep(timeout, nullptr);
    return 0;
  }
  for (;;) {
    int sig = timeout ? sigtimedwait(&set, nullptr, timeout)
                      : sigwaitinfo(&set, nullptr);
    if (sig > 0) {
      if (sig != SIGCHLD) pendingInterrupt = sig;
      return sig;
    }
    if (errno != EINTR) return 0;
  }
}

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec After(double seconds) {
  timespec t = Now();
  double whole = 0;
  const double frac = std::modf(seconds, &whole);
  t.tv_sec += static_cast<time_t>(whole);
  t.tv_nsec += static_cast<long>(frac * 1e9);
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

bool Passed(const timespec& t) {
  const timespec now = Now();
  return now.tv_sec > t.tv_sec || (now.tv_sec == t.tv_sec && now.tv_nsec >= t.tv_nsec);
}

bool WaitUntil(const timespec& deadline) {
  for (;;) {
    if (PendingInterrupt()) return false;
    const timespec now = Now();
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_nsec += 1000000000L;
      --left.tv_sec;
    }
    if (left.tv_sec < 0) return true;
    if (WaitForSignal(false, &left) != 0) return false;
  }
}

void DieOf(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  std::raise(sig);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  // Not reached: the signal's default action ends the process.
  std::_Exit(128 + sig);
}

}  // namespace prclient::detail
