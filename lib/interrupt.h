// Interrupting signals during a remote call. TRPC blocks every signal whose
// default action ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1,
// SIGALRM, SIGPIPE and the like) for the call and takes them synchronously
// in its waits, so that it can end its copy command and remove its files before
// the process dies of the signal. A signal the process ignored when the
// call began (nohup, trap '' INT) stays ignored, and one the caller had
// blocked stays the caller's. Internal to the library.
#ifndef PRCLIENT_INTERRUPT_H_
#define PRCLIENT_INTERRUPT_H_

#include <csignal>
#include <ctime>

namespace prclient::detail {

// Blocks the interrupting signals the call may take (and SIGCHLD) for its
// lifetime; only its waits take them.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
  // Restores the caller's mask early, once nothing is left to clean up: a
  // signal that came meanwhile then acts at once.
  void Lift();

 private:
  sigset_t saved_;
  bool lifted_ = false;
};

// The interrupting signal taken during this process's call, or 0.
int PendingInterrupt();

// Waits for an interrupting signal that the call blocked, or for SIGCHLD
// when `child` is set, at most `timeout` (null: no limit; zero: only a
// look). Returns the signal, or 0 when the time ran out. An interrupting
// signal is remembered for PendingInterrupt.
int WaitForSignal(bool child, const timespec* timeout);

// Waits until the monotonic clock reaches `deadline`, or an interrupting
// signal is taken. False when interrupted.
bool WaitUntil(const timespec& deadline);

// The monotonic clock now, and `seconds` from now.
timespec Now();
timespec After(double seconds);
// Whether the monotonic clock has reached `t`.
bool Passed(const timespec& t);

// Ends the process by `sig` as if it had never been blocked.
[[noreturn]] void DieOf(int sig);

}  // namespace prclient::detail

#endif  // PRCLIENT_INTERRUPT_H_
