// The pause between reply polls, and the interrupting signals it listens to.
#include <cerrno>
#include <ctime>

#include "interrupt.h"
#include "prclient.h"

namespace prclient {
namespace detail {
namespace {

volatile std::sig_atomic_t pendingInterrupt = 0;

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// The interrupting signals that are blocked now: only those can be taken by
// a wait without racing their delivery.
bool BlockedInterrupts(sigset_t* set) {
  sigset_t current;
  sigemptyset(set);
  if (pthread_sigmask(SIG_BLOCK, nullptr, &current) != 0) return false;
  bool any = false;
  for (int sig : kInterrupts) {
    if (sigismember(&current, sig) == 1) {
      sigaddset(set, sig);
      any = true;
    }
  }
  return any;
}

}  // namespace

InterruptScope::InterruptScope() {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : kInterrupts) sigaddset(&block, sig);
  sigaddset(&block, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &block, &saved_);
}

InterruptScope::~InterruptScope() { Lift(); }

void InterruptScope::Lift() {
  if (lifted_) return;
  lifted_ = true;
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

int PendingInterrupt() { return pendingInterrupt; }

int WaitForSignal(bool child, const timespec* timeout) {
  sigset_t set;
  bool any = BlockedInterrupts(&set);
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
    if (errno == EAGAIN) return 0;
    if (errno != EINTR) return 0;
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

}  // namespace detail

void Delay(int seconds) {
  if (seconds <= 0 || detail::PendingInterrupt()) return;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += seconds;
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_nsec += 1000000000L;
      --left.tv_sec;
    }
    if (left.tv_sec < 0) return;
    if (detail::WaitForSignal(false, &left) != 0) return;
  }
}

}  // namespace prclient
