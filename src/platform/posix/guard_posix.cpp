// Guarded calls on POSIX: a processor fault inside the call becomes a false
// result. The fault signals are caught only while a guarded call runs, and
// the handlers that were installed before come back afterwards, so that a
// host's (or a sanitizer's) own handling stays in force outside our calls.
#include <csetjmp>
#include <csignal>
#include <cstring>

#include "platform/platform.h"

namespace dv::plat {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// The innermost guarded call of this thread, if any.
thread_local sigjmp_buf* tJump = nullptr;
// The handlers that were in force before the outermost guarded call; a fault
// on a thread without a guarded call is handed to them.
struct sigaction gOuter[kSignalCount];

int IndexOf(int sig) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kFaultSignals[i] == sig) return i;
  return -1;
}

void OnFault(int sig, siginfo_t* info, void* uctx) {
  if (tJump) siglongjmp(*tJump, sig);
  // Not ours: behave as the previous handler would.
  const int i = IndexOf(sig);
  if (i < 0) return;
  const struct sigaction& prev = gOuter[i];
  if (prev.sa_flags & SA_SIGINFO) {
    if (prev.sa_sigaction) prev.sa_sigaction(sig, info, uctx);
    return;
  }
  if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
    prev.sa_handler(sig);
    return;
  }
  // Default action: let the fault happen again without us.
  signal(sig, SIG_DFL);
}

class ScopedHandlers {
 public:
  ScopedHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = &OnFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;  // an alternate stack, when there is one
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
      sigaction(kFaultSignals[i], &sa, &saved_[i]);
      const bool mine = (saved_[i].sa_flags & SA_SIGINFO) && saved_[i].sa_sigaction == &OnFault;
      if (!mine) gOuter[i] = saved_[i];  // not when nested in a guarded call
    }
  }
  ~ScopedHandlers() {
    for (int i = 0; i < kSignalCount; ++i) sigaction(kFaultSignals[i], &saved_[i], nullptr);
  }
  ScopedHandlers(const ScopedHandlers&) = delete;
  ScopedHandlers& operator=(const ScopedHandlers&) = delete;

 private:
  struct sigaction saved_[kSignalCount];
};

// Kept apart from GuardedCall so that nothing of the caller lives in the
// frame that sigsetjmp returns into twice.
bool RunWithJump(void (*fn)(void*), void* ctx) {
  sigjmp_buf jump;
  sigjmp_buf* const outer = tJump;
  volatile bool ok = true;
  if (sigsetjmp(jump, 1) == 0) {
    tJump = &jump;
    try {
      fn(ctx);
    } catch (...) {
      ok = false;
    }
  } else {
    ok = false;  // came back from a fault
  }
  tJump = outer;
  return ok;
}

}  // namespace

bool GuardedCall(void (*fn)(void*), void* ctx) {
  if (!fn) return false;
  ScopedHandlers handlers;
  return RunWithJump(fn, ctx);
}

}  // namespace dv::plat
