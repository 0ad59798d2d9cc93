// Guarded calls on Windows: a structured exception (an access violation and
// the like, or an exception another compiler's library raised) that reaches
// the frame of the call becomes a false result.
//
// The handler is frame-based, registered on the thread's exception chain
// (FS:[0]) around the call, so a library that raises and handles its own
// exceptions keeps doing so undisturbed: its own frames are asked first. A
// vectored handler would see those exceptions before the library does.
//
// GCC for i686 has no __try/__except, so the registration record is linked
// by hand. On an exception the handler does not return to the dispatcher
// (which would refuse to continue a non-continuable exception); it goes
// straight back to the recovery point inside dv_seh_call, restoring the
// stack and frame pointers saved there. The chain is then reset to what it
// was before the call: the library may have left registrations of its own on
// it, and the dispatcher has one of its own while a handler runs.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace dv::plat {

namespace {

struct GuardFrame {
  GuardFrame* next;  // the registration record: next record of the chain,
  void* handler;     // and the handler
  uint32_t esp;      // the recovery point: stack pointer, frame pointer and
  uint32_t ebp;      // code address, filled in by dv_seh_call
  uint32_t eip;
};
static_assert(offsetof(GuardFrame, handler) == 4 && offsetof(GuardFrame, esp) == 8 &&
              offsetof(GuardFrame, ebp) == 12 && offsetof(GuardFrame, eip) == 16);

// Links frame, calls fn(ctx), unlinks frame; 0 when fn returned, 1 when an
// exception brought it back to the recovery point. fn must not let a C++
// exception out: this frame has no unwind information.
extern "C" int DvSehCall(GuardFrame* frame, void (*fn)(void*), void* ctx) asm("dv_seh_call");
// Resumes at frame's recovery point; never returns.
extern "C" [[noreturn]] void DvSehResume(GuardFrame* frame) asm("dv_seh_resume");

asm(R"(
    .text
    .p2align 4
dv_seh_call:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  8(%ebp), %eax
    movl  %esp, 8(%eax)
    movl  %ebp, 12(%eax)
    movl  $1f, 16(%eax)
    movl  %fs:0, %edx
    movl  %edx, 0(%eax)
    movl  %eax, %fs:0
    pushl 16(%ebp)
    call  *12(%ebp)
    addl  $4, %esp
    movl  8(%ebp), %eax
    movl  0(%eax), %edx
    movl  %edx, %fs:0
    xorl  %eax, %eax
    jmp   2f
1:
    cld
    movl  8(%ebp), %eax
    movl  0(%eax), %edx
    movl  %edx, %fs:0
    movl  $1, %eax
2:
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret

    .p2align 4
dv_seh_resume:
    movl  4(%esp), %eax
    movl  8(%eax), %esp
    movl  12(%eax), %ebp
    jmp   *16(%eax)
)");

EXCEPTION_DISPOSITION __cdecl OnException(EXCEPTION_RECORD* rec, void* frame, CONTEXT*, void*) {
  // An unwind passing through (someone else's longjmp or unwinding) is no
  // exception of ours.
  if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  DvSehResume(static_cast<GuardFrame*>(frame));
}

struct Call {
  void (*fn)(void*);
  void* ctx;
  bool threw;
};

// A C++ exception of our own code ends here, before it could reach the
// hand-written frame.
void CatchAll(void* p) {
  Call* call = static_cast<Call*>(p);
  try {
    call->fn(call->ctx);
  } catch (...) {
    call->threw = true;
  }
}

}  // namespace

bool GuardedCall(void (*fn)(void*), void* ctx) {
  if (!fn) return false;
  Call call{fn, ctx, false};
  GuardFrame frame{};
  frame.handler = reinterpret_cast<void*>(&OnException);
  const int faulted = DvSehCall(&frame, &CatchAll, &call);
  return faulted == 0 && !call.threw;
}

}  // namespace dv::plat
