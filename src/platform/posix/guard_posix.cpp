// Guarded calls on POSIX: a processor fault inside the call becomes a false
// result. The fault signals are caught only while a guarded call runs, and
// the handlers that were installed before come back afterwards, so that a
// host's (or a sanitizer's) own handling stays in force outside our calls.
//
// A library that recurses without end faults on its exhausted stack; the
// handler then needs a stack of its own, so the call runs with an alternate
// signal stack when the thread has none in force.
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace dv::plat {

namespace {

// SIGTRAP: a breakpoint (int3) left in a library.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
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

// An alternate signal stack for the duration of the call, when the thread
// has none in force (a sanitizer or the host may have one; nested guarded
// calls use the outer one). The memory is the thread's, allocated once.
class ScopedAltStack {
 public:
  ScopedAltStack() {
    stack_t now;
    if (sigaltstack(nullptr, &now) != 0 || !(now.ss_flags & SS_DISABLE)) return;
    Memory& mem = ThreadMemory();
    if (!mem.base) return;  // no memory: a fault on an exhausted stack stays fatal
    stack_t ss;
    std::memset(&ss, 0, sizeof ss);
    ss.ss_sp = mem.base;
    ss.ss_size = mem.size;
    installed_ = sigaltstack(&ss, &previous_) == 0;
  }
  ~ScopedAltStack() {
    if (installed_) sigaltstack(&previous_, nullptr);
  }
  ScopedAltStack(const ScopedAltStack&) = delete;
  ScopedAltStack& operator=(const ScopedAltStack&) = delete;

 private:
  struct Memory {
    void* base = nullptr;
    std::size_t size = 0;
    Memory() {
      // The handler only jumps, but the dynamic linker may resolve a symbol
      // on it the first time; 64 KiB leaves room for that everywhere.
#if defined(_SC_SIGSTKSZ)
      const long want = sysconf(_SC_SIGSTKSZ);
#else
      const long want = SIGSTKSZ;
#endif
      size = std::max<std::size_t>(want > 0 ? static_cast<std::size_t>(want) : 0, 64 * 1024);
      base = std::malloc(size);
    }
    ~Memory() { std::free(base); }
  };
  static Memory& ThreadMemory() {
    thread_local Memory mem;
    return mem;
  }

  stack_t previous_{};
  bool installed_ = false;
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
  ScopedAltStack altStack;
  ScopedHandlers handlers;
  return RunWithJump(fn, ctx);
}

}  // namespace dv::plat
