// Guarded calls on POSIX: a processor fault inside the call becomes a false
// result. The fault signals are caught only while guarded calls run, and
// the handlers that were installed before come back when the last one ends
// (unless the host has put in one of its own meanwhile), so that a host's
// (or a sanitizer's) own handling stays in force outside our calls. A fault
// signal that is not a guarded thread's own fault (sent with kill, sigqueue
// or tgkill, or a fault on a thread without a guarded call) is handed to
// what was in force before.
//
// A library that recurses without end faults on its exhausted stack; the
// handler then needs a stack of its own, so the call runs with an alternate
// signal stack when the thread has none in force.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <mutex>

#include "platform/platform.h"

namespace dv::plat {

namespace {

// SIGTRAP: a breakpoint (int3) left in a library.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// The innermost guarded call of this thread, if any. Static TLS: Dorvelk.so
// is loaded with dlopen, where other TLS is allocated (with malloc) on a
// thread's first access, which may be in the handler.
thread_local sigjmp_buf* tJump __attribute__((tls_model("initial-exec"))) = nullptr;

// The disposition in force before the first of the guarded calls running now
// (on any thread), per signal; what is not a call's own fault is handed to
// it. It is read before our handler goes in, so that a fault on another
// thread the moment the handler is in force finds it. A handler still
// running from calls that have ended may read it while the next first call
// writes it: writes is odd meanwhile, and the reader takes a copy again.
struct Outer {
  std::atomic<unsigned> writes{0};
  struct sigaction action;
  // A handler run once (SA_RESETHAND) has had its run: the kernel would
  // have put back the default action.
  std::atomic<bool> spent{false};
};
static_assert(std::atomic<unsigned>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read in a signal handler");
Outer gOuter[kSignalCount];
std::mutex gHandlersLock;
int gCallsRunning = 0;  // under gHandlersLock

int IndexOf(int sig) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kFaultSignals[i] == sig) return i;
  return -1;
}

struct sigaction OuterAction(const Outer& o) {
  struct sigaction copy;
  unsigned before, after;
  do {
    before = o.writes.load(std::memory_order_acquire);
    copy = o.action;
    std::atomic_thread_fence(std::memory_order_acquire);
    after = o.writes.load(std::memory_order_relaxed);
  } while ((before & 1) || before != after);
  return copy;
}

// Under gHandlersLock, while our handler for the signal is not in force.
void SetOuterAction(Outer& o, const struct sigaction& action) {
  const unsigned n = o.writes.load(std::memory_order_relaxed);
  o.writes.store(n + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  o.action = action;
  o.spent.store(false, std::memory_order_relaxed);
  o.writes.store(n + 2, std::memory_order_release);
}

struct sigaction DefaultAction() {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  return dfl;
}

// What the kernel would have done with the signal under the disposition in
// force before the calls. Like the kernel, it goes by the handler's value
// alone: SIG_IGN and SIG_DFL mean the same with SA_SIGINFO set.
void Forward(int sig, siginfo_t* info, void* uctx, bool sent) {
  const int i = IndexOf(sig);
  if (i < 0) return;
  const struct sigaction prev = OuterAction(gOuter[i]);
  const bool handled = prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN;
  // A handler run once when it asked so: the first signal takes it.
  const bool spent = handled && (prev.sa_flags & SA_RESETHAND) &&
                     gOuter[i].spent.exchange(true, std::memory_order_acq_rel);
  if (prev.sa_handler == SIG_IGN && sent) return;
  if (!handled || spent) {
    // The default action (a fault the kernel kills for even when ignored):
    // raised again, it is taken as soon as this handler returns.
    const struct sigaction dfl = DefaultAction();
    sigaction(sig, &dfl, nullptr);
    raise(sig);
    return;
  }
  // The handler runs with its own mask.
  sigset_t mask = prev.sa_mask, entry;
  if (!(prev.sa_flags & SA_NODEFER)) sigaddset(&mask, sig);
  pthread_sigmask(SIG_BLOCK, &mask, &entry);
  if (prev.sa_flags & SA_NODEFER) {
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, sig);
    pthread_sigmask(SIG_UNBLOCK, &self, nullptr);
  }
  if (prev.sa_flags & SA_SIGINFO) {
    prev.sa_sigaction(sig, info, uctx);
  } else {
    prev.sa_handler(sig);
  }
  pthread_sigmask(SIG_SETMASK, &entry, nullptr);
}

void OnFault(int sig, siginfo_t* info, void* uctx) {
  // A signal someone sent (si_code SI_USER, SI_QUEUE, SI_TKILL, ...) is
  // never the call's fault, not even when this thread sent it.
  const bool sent = !info || info->si_code <= 0;
  if (tJump && !sent) siglongjmp(*tJump, sig);
  Forward(sig, info, uctx, sent);
}

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == &OnFault;
}

// Our handlers while any guarded call runs; the first call installs them,
// the last one puts back what was there. A handler the host installs while
// calls run is left in force: it is not ours to undo.
class ScopedHandlers {
 public:
  ScopedHandlers() {
    std::lock_guard<std::mutex> lock(gHandlersLock);
    if (gCallsRunning++ > 0) return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = &OnFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;  // an alternate stack, when there is one
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
      struct sigaction now;
      if (sigaction(kFaultSignals[i], nullptr, &now) != 0) continue;
      // Ours still (a host put back what it had saved during calls): what
      // it forwards to stays as it was.
      if (!IsOurs(now)) SetOuterAction(gOuter[i], now);
      sigaction(kFaultSignals[i], &sa, nullptr);
    }
  }
  ~ScopedHandlers() {
    std::lock_guard<std::mutex> lock(gHandlersLock);
    if (--gCallsRunning > 0) return;
    for (int i = 0; i < kSignalCount; ++i) {
      struct sigaction now;
      if (sigaction(kFaultSignals[i], nullptr, &now) != 0 || !IsOurs(now)) continue;
      const struct sigaction outer =
          gOuter[i].spent.load(std::memory_order_acquire) ? DefaultAction() : gOuter[i].action;
      sigaction(kFaultSignals[i], &outer, nullptr);
    }
  }
  ScopedHandlers(const ScopedHandlers&) = delete;
  ScopedHandlers& operator=(const ScopedHandlers&) = delete;
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

// The floating-point environment as at the call's entry. The x87 register
// stack is emptied first: the environment does not carry it.
void RestoreFloatingPoint(const std::fenv_t& entry) {
#if defined(__i386__) || defined(__x86_64__)
  asm volatile("fninit");
#endif
  std::fesetenv(&entry);
}

// Kept apart from GuardedCall so that nothing of the caller lives in the
// frame that sigsetjmp returns into twice.
bool RunWithJump(void (*fn)(void*), void* ctx) {
  sigjmp_buf jump;
  sigjmp_buf* const outer = tJump;
  std::fenv_t entry;
  std::fegetenv(&entry);
  volatile bool ok = true;
  if (sigsetjmp(jump, 1) == 0) {
    tJump = &jump;
    try {
      fn(ctx);
    } catch (...) {
      tJump = outer;
      PassThreadExit();
      ok = false;
    }
  } else {
    ok = false;  // came back from a fault
  }
  tJump = outer;
  if (!ok) RestoreFloatingPoint(entry);
  return ok;
}

}  // namespace

// The forced unwind is not a C++ object: the reference it binds is null,
// which the undefined-behaviour sanitizer would take for a fault of ours.
__attribute__((no_sanitize("undefined"))) void PassThreadExit() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

bool GuardedCall(void (*fn)(void*), void* ctx) {
  if (!fn) return false;
  ScopedAltStack altStack;
  ScopedHandlers handlers;
  return RunWithJump(fn, ctx);
}

}  // namespace dv::plat
