// The guarded call that keeps a library's faults and exceptions away from
// the component.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/platform.h"
#include "support/fpu_state.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
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
// left in the unit.
TEST(GuardedCall, CatchesFaultsAndExceptions) {
  for (int round = 0; round < 3; ++round) {  // and keeps doing so
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.what);
#if DV_TEST_X87
      using namespace dvtest::fpu;
      HostControls host(kHostCw, kHostMxcsr);
#endif
      int after = 0;
      EXPECT_EQ(Guarded([&] {
                  c.fn();
                  after = 1;
                }),
                c.expected);
      EXPECT_EQ(after, c.expected ? 1 : 0);
#if DV_TEST_X87
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
#else
void Marker(int) {}

// The fault handlers are ours only for the duration of the call: those in
// force before come back, also after a fault.
TEST(GuardedCall, PreviousSignalHandlersAreRestored) {
  const int signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
  constexpr int kCount = sizeof signals / sizeof signals[0];
  struct sigaction mine, saved[kCount];
  std::memset(&mine, 0, sizeof mine);
  mine.sa_handler = &Marker;
  for (int i = 0; i < kCount; ++i) sigaction(signals[i], &mine, &saved[i]);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    struct sigaction during;
    EXPECT_EQ(Guarded([&] {
                sigaction(SIGSEGV, nullptr, &during);
                c.fn();
              }),
              c.expected);
    EXPECT_NE(during.sa_handler, &Marker);
    for (int sig : signals) {
      struct sigaction now;
      sigaction(sig, nullptr, &now);
      EXPECT_EQ(now.sa_handler, &Marker) << sig;
    }
  }
  for (int i = 0; i < kCount; ++i) sigaction(signals[i], &saved[i], nullptr);
}
#endif

TEST(GuardedCall, NullFunctionIsAFailure) { EXPECT_FALSE(GuardedCall(nullptr, nullptr)); }

}  // namespace
