// The guarded call that keeps a library's faults and exceptions away from
// the component.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/fpu_state.h"
#include "support/thread_end.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__linux__) && defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#endif

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#endif

namespace {

using dv::plat::Guarded;
using dv::plat::GuardedCall;

#if defined(__GNUC__)
#define DV_UNCHECKED __attribute__((noinline, no_sanitize("address", "undefined")))
#else
#define DV_UNCHECKED
#endif

DV_UNCHECKED void NullWrite() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}
DV_UNCHECKED void DivideByZero() {
  volatile int zero = 0;
  volatile int r = 7 / zero;
  (void)r;
}
DV_UNCHECKED void Trap() { asm volatile("ud2"); }
DV_UNCHECKED void Breakpoint() { asm volatile("int3"); }
volatile bool gDeeper = true;
DV_UNCHECKED int Recurse(int depth) {  // until the stack runs out
  volatile char frame[256];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return (gDeeper ? Recurse(depth + 1) : 0) + frame[(depth + 1) % sizeof frame];
}
void Overflow() { Recurse(0); }
#if !defined(_WIN32)
// A shared mapping of a file cut short under it: touching it is a bus error.
volatile char* TruncatedPage() {
  static std::FILE* const file = std::tmpfile();
  const int fd = file ? fileno(file) : -1;
  void* p = fd >= 0 && ftruncate(fd, 4096) == 0
                ? mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0)
                : MAP_FAILED;
  if (p == MAP_FAILED || ftruncate(fd, 0) != 0) return nullptr;
  return static_cast<volatile char*>(p);
}
DV_UNCHECKED void BusError() {
  static volatile char* const page = TruncatedPage();
  (void)*page;
}
#endif
#if DV_TEST_X87
DV_UNCHECKED void FpuMidWork() {
  dvtest::fpu::LeaveMidWork();
  NullWrite();
}
// Raises (masked) exception flags in both units.
void RaiseFlags(uint16_t x87, uint32_t sse) {
  dvtest::fpu::X87Env env;
  uint32_t mxcsr;
  asm volatile("fnstenv %0\n\tstmxcsr %1" : "=m"(env), "=m"(mxcsr));
  env.sw = static_cast<uint16_t>(env.sw | x87);
  mxcsr |= sse;
  asm volatile("fldenv %0\n\tldmxcsr %1" : : "m"(env), "m"(mxcsr));
}
#if !defined(_WIN32)
// The exception flags of both units.
std::string Flags() {
  const dvtest::fpu::State now = dvtest::fpu::Read();
  return "x87 " + dvtest::fpu::Hex(now.sw & 0x3F) + ", SSE " + dvtest::fpu::Hex(now.mxcsr & 0x3F);
}
#endif
// A library that clears the flags and raises others (overflow) before it faults.
DV_UNCHECKED void FlagsThenFault() {
  const uint32_t cleared = dvtest::fpu::Read().mxcsr & ~0x3Fu;
  asm volatile("fnclex\n\tldmxcsr %0" : : "m"(cleared));
  RaiseFlags(0x0008, 0x0008);
  NullWrite();
}
#endif
void Throw() { throw std::runtime_error("thrown"); }
void Return() {}

struct Case {
  const char* what;
  void (*fn)();
  bool expected;
};
const Case kCases[] = {
    {"returns", &Return, true},
    {"null write", &NullWrite, false},
    {"division by zero", &DivideByZero, false},
    {"illegal instruction", &Trap, false},
    {"breakpoint", &Breakpoint, false},
    {"stack overflow", &Overflow, false},
    {"C++ exception", &Throw, false},
#if DV_TEST_X87
    {"floating-point unit left mid-work", &FpuMidWork, false},
    {"exception flags changed, then a fault", &FlagsThenFault, false},
#endif
#if defined(_WIN32)
    {"non-continuable structured exception",
     [] { RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr); }, false},
    {"continuable structured exception", [] { RaiseException(0x0EEDFADE, 0, 0, nullptr); },
     false},
#else
    {"bus error", &BusError, false},
#endif
};

// The host's floating-point state comes back as it was, whatever the call
// left in the unit. On POSIX that includes the exception flags, which the
// host has raised from the second round on.
TEST(GuardedCall, CatchesFaultsAndExceptions) {
#if DV_TEST_X87 && !defined(_WIN32)
  constexpr uint16_t kEntryX87Flags = 0x0024;  // division by zero, precision
  constexpr uint32_t kEntrySseFlags = 0x0021;  // invalid, precision
#endif
  for (int round = 0; round < 3; ++round) {  // and keeps doing so
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.what);
#if DV_TEST_X87
      using namespace dvtest::fpu;
      HostControls host(kHostCw, kHostMxcsr);
#if !defined(_WIN32)
      if (round > 0) RaiseFlags(kEntryX87Flags, kEntrySseFlags);
      const std::string entryFlags = Flags();
#endif
#endif
      int after = 0;
      EXPECT_EQ(Guarded([&] {
                  c.fn();
                  after = 1;
                }),
                c.expected);
      EXPECT_EQ(after, c.expected ? 1 : 0);
#if DV_TEST_X87
#if !defined(_WIN32)
      EXPECT_EQ(Flags(), entryFlags);  // before Deviation, which clears them
#endif
      EXPECT_EQ(Deviation(kHostCw, kHostMxcsr), "");
#endif
    }
  }
}

// An inner guard sees its fault first; the outer call goes on normally.
TEST(GuardedCall, NestedGuardsHandleTheirOwnFaults) {
  bool inner = true, reached = false;
  EXPECT_TRUE(Guarded([&] {
    inner = Guarded([] { NullWrite(); });
    reached = true;
  }));
  EXPECT_FALSE(inner);
  EXPECT_TRUE(reached);
  EXPECT_FALSE(Guarded([&] {
    EXPECT_FALSE(Guarded([] { Throw(); }));
    NullWrite();
  }));
}

#if defined(_WIN32)
// The head of the thread's exception chain (FS:[0]; on x86_64, where only
// Wine's dispatcher uses it, GS:[0]).
void* ExceptionChain() {
  void* head;
#if defined(__x86_64__)
  asm volatile("movq %%gs:0, %0" : "=r"(head));
#else
  asm volatile("movl %%fs:0, %0" : "=r"(head));
#endif
  return head;
}

// After a fault the thread's exception chain is what it was before, even
// though the fault left registrations below ours.
TEST(GuardedCall, ExceptionChainIsRestored) {
  void* const before = ExceptionChain();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Guarded([&] { c.fn(); }), c.expected);
    EXPECT_EQ(ExceptionChain(), before);
  }
  EXPECT_FALSE(Guarded([] {
    EXPECT_FALSE(Guarded([] { NullWrite(); }));
    NullWrite();
  }));
  EXPECT_EQ(ExceptionChain(), before);
}

// Calls fn(arg) with the stack pointer at top, as a host's coroutine on a
// stack carved from a heap block does; the thread information block still
// names the thread's own stack.
extern "C" void OnStack(char* top, void (*fn)(void*), void* arg) asm("dv_test_on_stack");
#if defined(__x86_64__)
asm(R"(
    .text
    .p2align 4
    .def dv_test_on_stack; .scl 3; .type 32; .endef
    .seh_proc dv_test_on_stack
dv_test_on_stack:
    pushq %rbp
    .seh_pushreg %rbp
    movq  %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq  $-16, %rcx
    leaq  -32(%rcx), %rsp
    movq  %r8, %rcx
    callq *%rdx
    movq  %rbp, %rsp
    popq  %rbp
    ret
    .seh_endproc
)");
#else
asm(R"(
    .text
    .p2align 4
dv_test_on_stack:
    pushl %ebp
    movl  %esp, %ebp
    movl  8(%ebp), %esp
    andl  $-16, %esp
    subl  $12, %esp
    pushl 16(%ebp)
    call  *12(%ebp)
    movl  %ebp, %esp
    popl  %ebp
    ret
)");
#endif

// Overflows and faults on the calling stack, twice over: how many were
// caught. The overflow comes first: after any caught fault the stack is made
// ready for the next overflow anyway.
int CaughtOnThisStack() {
  int caught = 0;
  for (int round = 0; round < 2; ++round)
    for (void (*fn)() : {&Overflow, &NullWrite}) caught += Guarded([&] { fn(); }) ? 0 : 1;
  return caught;
}

struct OnFiber {
  void* back;  // the fiber to switch back to
  int caught = 0;
};
VOID CALLBACK FaultsOnFiber(void* p) {
  OnFiber* on = static_cast<OnFiber*>(p);
  on->caught = CaughtOnThisStack();
  SwitchToFiber(on->back);
}

// A host's vectored handler with a few KiB of stack of its own: it sees
// every exception first, on the stack the exception happened on.
LONG CALLBACK StackHungryHandler(EXCEPTION_POINTERS*) {
  volatile char scratch[8 * 1024];
  for (std::size_t i = 0; i < sizeof scratch; i += 256) scratch[i] = 0;
  return EXCEPTION_CONTINUE_SEARCH;
}

// A guarded call from a carved stack leaves the block as it was: no guard
// page and no room for an overflow are put there, the first call of the
// thread included. The thread's next call from its own stack still gets
// them. (A fault on such a stack is not caught: the system dispatches no
// exception to frames outside the stack the thread information block names,
// so there is no such row.) A fiber's stack is one the block names: its
// faults and overflows are caught, and keep being caught, whichever of the
// thread's stacks had calls before; each overflow leaves room for the
// handlers (a host's vectored handler among them).
TEST(GuardedCall, StacksOtherThanTheThreadsOwn) {
  struct Order {
    const char* what;
    bool ownBefore;  // faults on the thread's own stack first
    int fibers;      // one after the other, each deleted before the next
    bool ownAfter;   // and last
  };
  const Order orders[] = {
      {"a fiber only", false, 1, false},
      {"the thread's own stack, then a fiber", true, 1, false},
      {"a fiber, then the thread's own stack", false, 1, true},
      {"the thread's own stack, a fiber, the thread's own stack", true, 1, true},
      {"a fiber, then another (as a rule on the first one's stack)", false, 2, false},
  };
  void* const hungry = AddVectoredExceptionHandler(1, &StackHungryHandler);
  ASSERT_NE(hungry, nullptr);
  for (const Order& o : orders) {
    SCOPED_TRACE(o.what);
    int caught = 0;
    bool ended = false;  // stays false when the thread died on the way
    std::thread([&] {
      if (o.ownBefore) caught += CaughtOnThisStack();
      void* const thread = ConvertThreadToFiber(nullptr);
      ASSERT_NE(thread, nullptr);
      for (int i = 0; i < o.fibers; ++i) {
        OnFiber on{thread};
        void* const fiber = CreateFiber(0, &FaultsOnFiber, &on);
        ASSERT_NE(fiber, nullptr);
        SwitchToFiber(fiber);
        caught += on.caught;
        DeleteFiber(fiber);
      }
      ConvertFiberToThread();
      if (o.ownAfter) caught += CaughtOnThisStack();
      ended = true;
    }).join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(caught, 4 * (o.ownBefore + o.fibers + o.ownAfter));
  }
  RemoveVectoredExceptionHandler(hungry);
  std::thread([] {
    constexpr std::size_t kSize = 256 * 1024;
    char* const block =
        static_cast<char*>(VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    bool returned = false;
    OnStack(
        block + kSize, [](void* p) { *static_cast<bool*>(p) = Guarded([] { Return(); }); },
        &returned);
    EXPECT_TRUE(returned);
    for (char* p = block; p < block + kSize;) {
      MEMORY_BASIC_INFORMATION mbi;
      ASSERT_TRUE(VirtualQuery(p, &mbi, sizeof mbi));
      EXPECT_EQ(mbi.State, static_cast<DWORD>(MEM_COMMIT));
      EXPECT_EQ(mbi.Protect, static_cast<DWORD>(PAGE_READWRITE)) << static_cast<void*>(p);
      p = static_cast<char*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    EXPECT_FALSE(Guarded([] { Overflow(); }));
    EXPECT_FALSE(Guarded([] { Overflow(); }));
    VirtualFree(block, 0, MEM_RELEASE);
  }).join();
}

// The highest guard page of the calling thread's stack below the caller.
char* GuardPageBelowHere() {
  volatile char here = 0;
  MEMORY_BASIC_INFORMATION mbi;
  if (!VirtualQuery(const_cast<char*>(&here), &mbi, sizeof mbi)) return nullptr;
  char* found = nullptr;
  for (char* p = static_cast<char*>(mbi.AllocationBase); p < &here;
       p = static_cast<char*>(mbi.BaseAddress) + mbi.RegionSize) {
    if (!VirtualQuery(p, &mbi, sizeof mbi)) return nullptr;
    if (mbi.State == MEM_COMMIT && (mbi.Protect & PAGE_GUARD))
      found = static_cast<char*>(mbi.BaseAddress);
  }
  return found;
}

// Recurses until its frame lies below limit, then calls f there.
template <class F>
DV_UNCHECKED void DownTo(const char* limit, F& f) {
  volatile char frame[256];
  frame[0] = 0;
  if (const_cast<char*>(frame) >= limit) {
    DownTo(limit, f);
  } else {
    f();
  }
  frame[1] = 0;  // live across the call: no tail call
}

// An overflow in a call made from deep down the stack, below where the guard
// page goes: it cannot be put back after the call. The thread's next call
// puts it back, and the overflow after that is caught too.
TEST(GuardedCall, GuardPageComesBackOnTheNextCall) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  bool deep = true, later = true, ended = false;
  std::thread([&] {
    ASSERT_TRUE(Guarded([] { Return(); }));
    char* const guard = GuardPageBelowHere();
    ASSERT_NE(guard, nullptr);
    auto overflow = [&] { deep = Guarded([] { Overflow(); }); };
    DownTo(guard + si.dwPageSize / 2, overflow);
    EXPECT_EQ(GuardPageBelowHere(), nullptr);
    EXPECT_TRUE(Guarded([] { Return(); }));
    EXPECT_EQ(GuardPageBelowHere(), guard);
    later = Guarded([] { Overflow(); });
    ended = true;
  }).join();
  EXPECT_FALSE(deep);
  EXPECT_FALSE(later);
  EXPECT_TRUE(ended);
}
#else
volatile sig_atomic_t gMarks = 0, gCode = 0, gMasked = 0;
void Marker(int) { gMarks = gMarks + 1; }
// A host's handler with flags of its own: what it was given, and its mask.
void InfoMarker(int, siginfo_t* info, void*) {
  gMarks = gMarks + 1;
  gCode = info->si_code;
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  gMasked = sigismember(&now, SIGUSR2);
}

// A thread that ends inside a guarded call: what it finds once the call's
// frames are gone (no alternate stack, as before; the host's handler).
struct ThreadEnd {
  const char* what;
  void (*end)();
  bool restored = false;
};
struct EndProbe {
  ThreadEnd& t;
  stack_t own;  // a sanitizer's, put back after
  ~EndProbe() {
    stack_t now;
    struct sigaction sa;
    t.restored = sigaltstack(nullptr, &now) == 0 && (now.ss_flags & SS_DISABLE) &&
                 sigaction(SIGSEGV, nullptr, &sa) == 0 && sa.sa_handler == &Marker;
    sigaltstack(&own, nullptr);
  }
};
void EndInsideACall(ThreadEnd& t) {
  EndProbe probe{t, {}};
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, &probe.own);
  (void)Guarded([&] { t.end(); });
}

// The fault handlers are ours only for the duration of the call: those in
// force before come back, also after a fault, when the thread ends inside
// the call, and when calls on two threads overlap. A handler the host puts
// in during a call is the host's: faults go to it from then on, and it stays
// after the call.
TEST(GuardedCall, PreviousSignalHandlersAreRestored) {
  const int signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
  constexpr int kCount = sizeof signals / sizeof signals[0];
  struct sigaction mine, saved[kCount];
  std::memset(&mine, 0, sizeof mine);
  mine.sa_handler = &Marker;
  for (int i = 0; i < kCount; ++i) sigaction(signals[i], &mine, &saved[i]);
  auto expectMine = [&] {
    for (int sig : signals) {
      struct sigaction now;
      sigaction(sig, nullptr, &now);
      EXPECT_EQ(now.sa_handler, &Marker) << sig;
    }
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    struct sigaction during;
    EXPECT_EQ(Guarded([&] {
                sigaction(SIGSEGV, nullptr, &during);
                c.fn();
              }),
              c.expected);
    EXPECT_NE(during.sa_handler, &Marker);
    expectMine();
  }
  // Only that thread ends; the process goes on.
  ThreadEnd ends[] = {
      {"pthread_exit", [] { pthread_exit(nullptr); }},
      {"cancellation",
       [] {
         pthread_cancel(pthread_self());
         pthread_testcancel();
       }},
  };
  for (ThreadEnd& t : ends) {
    SCOPED_TRACE(t.what);
    EXPECT_EQ(dvtest::ReturnsOnItsOwnThread([&] { EndInsideACall(t); }),
              std::optional<bool>(false));
    EXPECT_TRUE(t.restored);
    expectMine();
  }
  {
    SCOPED_TRACE("two threads in calls at once, the second faulting after the first's call ended");
    std::atomic<int> stage{0};
    bool failed[2] = {false, false};
    auto await = [&](int s) {
      while (stage.load() < s) std::this_thread::yield();
    };
    std::thread first([&] {
      failed[0] = !Guarded([&] {
        stage = 1;
        await(2);
        NullWrite();
      });
      stage = 3;
    });
    std::thread second([&] {
      failed[1] = !Guarded([&] {
        await(1);
        stage = 2;
        await(3);
        NullWrite();
      });
    });
    first.join();
    second.join();
    EXPECT_TRUE(failed[0]);
    EXPECT_TRUE(failed[1]);
    expectMine();
  }
  {
    SCOPED_TRACE("the host's own handler, put in during a call");
    struct sigaction host;
    std::memset(&host, 0, sizeof host);
    host.sa_sigaction = &InfoMarker;
    host.sa_flags = SA_SIGINFO;
    sigemptyset(&host.sa_mask);
    gMarks = 0;
    gCode = 0;
    bool after = false;
    struct sigaction found;
    EXPECT_TRUE(Guarded([&] {
      sigaction(SIGTRAP, &host, &found);
      Breakpoint();  // the host's to handle now; it goes on after the breakpoint
      after = true;
    }));
    EXPECT_TRUE(after);
    EXPECT_EQ(gMarks, 1);
    EXPECT_EQ(gCode, SI_KERNEL);
    // Still in force after the call, and after the next call's own fault.
    for (void (*fn)() : {&Return, &Breakpoint}) {
      EXPECT_EQ(Guarded([&] { fn(); }), fn == &Return);
      struct sigaction now;
      sigaction(SIGTRAP, nullptr, &now);
      EXPECT_EQ(now.sa_sigaction, &InfoMarker);
    }
    EXPECT_EQ(gMarks, 1);
    // The host puts back what it found (ours) once the calls are over: a
    // signal goes to the handler in force before ours, outside a call and in
    // one, and the call's end puts that handler back.
    sigaction(SIGTRAP, &found, nullptr);
    raise(SIGTRAP);
    EXPECT_TRUE(Guarded([] { raise(SIGTRAP); }));
    EXPECT_EQ(gMarks, 3);
    struct sigaction now;
    sigaction(SIGTRAP, nullptr, &now);
    EXPECT_EQ(now.sa_sigaction, &InfoMarker);
    sigaction(SIGTRAP, &mine, nullptr);
    expectMine();
  }
  for (int i = 0; i < kCount; ++i) sigaction(signals[i], &saved[i], nullptr);
}

#if defined(__linux__) && defined(__x86_64__)
volatile sig_atomic_t gHostsCode = 0;
void HostsOwn(int, siginfo_t* info, void*) { gHostsCode = info->si_code; }

// Stands for the kernel at the install of a SIGSEGV handler (stopped with
// seccomp): enters the handler about to go in as a fault on a thread not in
// a call would the moment it is in force, then ends the process: 0 when the
// fault reached HostsOwn, 1 when it did not, 3 when what was being put in
// was not ours (such as the default action, for the fault).
void AtInstall(int, siginfo_t*, void* uctx) {
  using Handler = void (*)(int, siginfo_t*, void*);
  const greg_t act = static_cast<ucontext_t*>(uctx)->uc_mcontext.gregs[REG_RSI];
  const Handler handler = *reinterpret_cast<const Handler*>(act);  // the kernel's struct starts so
  if (reinterpret_cast<uintptr_t>(handler) <= 1 || handler == &HostsOwn) _exit(3);
  siginfo_t fault;
  std::memset(&fault, 0, sizeof fault);
  fault.si_signo = SIGSEGV;
  fault.si_code = SEGV_MAPERR;
  handler(SIGSEGV, &fault, nullptr);
  _exit(gHostsCode == SEGV_MAPERR ? 0 : 1);
}
bool StopSegvInstalls() {
  struct sigaction at;
  std::memset(&at, 0, sizeof at);
  at.sa_sigaction = &AtInstall;
  at.sa_flags = SA_SIGINFO | SA_NODEFER;  // stops an install made inside it too
  sigemptyset(&at.sa_mask);
  sigaction(SIGSYS, &at, nullptr);
  // rt_sigaction(SIGSEGV, act, ...) with act not null traps.
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigaction, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SIGSEGV, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1]) + 4),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
#endif

// A fault signal that is not the calling thread's own fault (sent to it, or
// a fault on a thread without a guarded call) is the host's to handle: its
// disposition as it was before the call, with its flags; the call goes on.
// That holds from the moment our handler is in force, on the process's first
// call too.
TEST(GuardedCall, SignalsNotTheCallsOwnGoToTheHost) {
#if defined(__linux__) && defined(__x86_64__)
  for (bool callBefore : {false, true}) {
    SCOPED_TRACE(callBefore ? "a call before, under another handler" : "the first call");
    EXPECT_EXIT(
        {
          if (callBefore) {
            signal(SIGSEGV, &Marker);
            (void)Guarded([] {});
          }
          struct sigaction host;
          std::memset(&host, 0, sizeof host);
          host.sa_sigaction = &HostsOwn;
          host.sa_flags = SA_SIGINFO;
          sigemptyset(&host.sa_mask);
          sigaction(SIGSEGV, &host, nullptr);
          if (!StopSegvInstalls()) _exit(4);
          (void)Guarded([] {});
          _exit(2);  // nothing installed
        },
        ::testing::ExitedWithCode(0), "");
  }
#endif
  struct Sender {
    const char* what;
    int sig, code;
    void (*send)(int sig);
  };
  const Sender senders[] = {
      {"kill, SIGSEGV", SIGSEGV, SI_USER, [](int s) { kill(getpid(), s); }},
      {"sigqueue, SIGBUS", SIGBUS, SI_QUEUE, [](int s) { sigqueue(getpid(), s, sigval{}); }},
      {"tgkill to itself, SIGFPE", SIGFPE, SI_TKILL, [](int s) { pthread_kill(pthread_self(), s); }},
      {"raise, SIGILL", SIGILL, SI_TKILL, [](int s) { raise(s); }},
      {"tgkill to itself, SIGTRAP", SIGTRAP, SI_TKILL, [](int s) { pthread_kill(pthread_self(), s); }},
      {"a breakpoint on a thread without a guarded call", SIGTRAP, SI_KERNEL,
       [](int) { std::thread(&Breakpoint).join(); }},
      {"raise on a thread without a guarded call, SIGBUS", SIGBUS, SI_TKILL,
       [](int s) { std::thread([s] { raise(s); }).join(); }},
  };
  struct Host {
    const char* what;
    unsigned flags;
    void (*handler)(int);  // none: InfoMarker; every handler masks SIGUSR2
    int marks;
    bool forFaults;  // an ignored fault kills, as without a guard
  };
  const Host hosts[] = {
      {"a handler", 0, &Marker, 1, true},
      {"a handler with SA_SIGINFO and a mask", SA_SIGINFO, nullptr, 1, true},
      {"a handler run once", SA_SIGINFO | SA_RESETHAND, nullptr, 1, true},
      {"ignored", 0, SIG_IGN, 0, false},
      {"ignored, SA_SIGINFO in the flags", SA_SIGINFO, SIG_IGN, 0, false},
  };
  for (const Host& h : hosts) {
    for (const Sender& s : senders) {
      if (s.code > 0 && !h.forFaults) continue;
      SCOPED_TRACE(std::string(h.what) + " / " + s.what);
      struct sigaction host, saved;
      std::memset(&host, 0, sizeof host);
      host.sa_flags = static_cast<int>(h.flags);
      if (h.handler) {
        host.sa_handler = h.handler;
      } else {
        host.sa_sigaction = &InfoMarker;
      }
      sigemptyset(&host.sa_mask);
      sigaddset(&host.sa_mask, SIGUSR2);
      sigaction(s.sig, &host, &saved);
      gMarks = 0;
      gCode = 0;
      gMasked = 0;
      EXPECT_TRUE(Guarded([&] { s.send(s.sig); }));
      EXPECT_EQ(gMarks, h.marks);
      if (!h.handler) {
        EXPECT_EQ(gCode, s.code);
        EXPECT_EQ(gMasked, 1);
      }
      struct sigaction after;
      sigaction(s.sig, nullptr, &after);
      EXPECT_EQ(after.sa_handler, (h.flags & SA_RESETHAND) ? SIG_DFL : host.sa_handler);
      sigaction(s.sig, &saved, nullptr);
    }
  }
  // The default action: the process dies of the signal, as it would have,
  // SA_SIGINFO in the flags or not.
  for (int flags : {0, SA_SIGINFO}) {
    for (const Sender& s : senders) {
      if (s.sig != SIGTRAP) continue;
      SCOPED_TRACE(std::string(s.what) + (flags ? ", SA_SIGINFO" : ""));
      EXPECT_EXIT(
          {
            struct sigaction dfl;
            std::memset(&dfl, 0, sizeof dfl);
            dfl.sa_handler = SIG_DFL;
            dfl.sa_flags = flags;
            sigemptyset(&dfl.sa_mask);
            sigaction(SIGTRAP, &dfl, nullptr);
            (void)Guarded([&] { s.send(s.sig); });
            std::exit(0);
          },
          ::testing::KilledBySignal(SIGTRAP), "");
    }
  }
}
#endif

TEST(GuardedCall, NullFunctionIsAFailure) { EXPECT_FALSE(GuardedCall(nullptr, nullptr)); }

}  // namespace
