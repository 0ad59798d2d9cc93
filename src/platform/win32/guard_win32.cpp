// Guarded calls on Windows: a structured exception (an access violation and
// the like, a stack overflow, or an exception another compiler's library
// raised) that reaches the frame of the call becomes a false result.
//
// The handler is frame-based, so a library that raises and handles its own
// exceptions keeps doing so undisturbed: its own frames are asked first. A
// vectored handler would see those exceptions before the library does.
//
// On an exception the handler does not return to the dispatcher (which would
// refuse to continue a non-continuable exception); it goes straight back to
// the recovery point inside the hand-written frame of the call.
//
// i686: the registration record is linked by hand on the thread's exception
// chain (FS:[0]); GCC has no __try/__except. The recovery point restores the
// stack and frame pointers saved in the record, and the chain is reset to
// what it was before the call: the library may have left registrations of
// its own on it, and the dispatcher has one of its own while a handler runs.
//
// x86_64: exception handling is table-based; the frame of the call is an
// assembly function whose unwind data names its handler. The handler does
// not call RtlUnwindEx: the unwind it would run needs correct unwind data in
// every library frame in between and stack to run on, and after a stack
// overflow there is little. Instead the recovery point takes the stack
// pointer the dispatcher found for the frame and restores the callee-saved
// registers the prologue stored there, as the i686 body does.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace dv::plat {

namespace {

#if defined(__i386__)

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

// Runs fn(ctx) in a guarded frame; false when an exception brought it back.
bool SehCall(void (*fn)(void*), void* ctx) {
  GuardFrame frame{};
  frame.handler = reinterpret_cast<void*>(&OnException);
  return DvSehCall(&frame, fn, ctx) == 0;
}

#elif defined(__x86_64__)

}  // namespace

// Calls fn(ctx); 0 when fn returned, 1 when an exception brought it back.
// fn must not let a C++ exception out.
extern "C" int DvSehCall64(void (*fn)(void*), void* ctx) asm("dv_seh_call64");
// Resumes at the recovery point of the frame whose stack pointer (after its
// prologue) is frame; never returns.
extern "C" [[noreturn]] void DvSehResume64(void* frame) asm("dv_seh_resume64");
extern "C" EXCEPTION_DISPOSITION DvSehHandler64(EXCEPTION_RECORD* rec, void* frame, CONTEXT*,
                                                void*) asm("dv_seh_handler64");

// The frame: the eight general callee-saved registers pushed, then 216 bytes:
// 32 of home space for the call, xmm6-xmm15 at 32..191, MXCSR at 192, the
// x87 control word at 196 and the thread's exception list at 200. The
// dispatcher's establisher frame is the stack pointer after the prologue, so
// it locates all of them.
//
// The exception list (GS:[0]) plays no part in x86_64 exception handling on
// Windows, but Wine's dispatcher links a record of its own there while a
// handler runs; since the handler never returns, the recovery point resets
// the list, or the next exception would find that stale record.
asm(R"(
    .text
    .p2align 4
    .globl dv_seh_call64
    .def dv_seh_call64; .scl 2; .type 32; .endef
    .seh_proc dv_seh_call64
dv_seh_call64:
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rdi
    .seh_pushreg %rdi
    pushq %rsi
    .seh_pushreg %rsi
    pushq %r12
    .seh_pushreg %r12
    pushq %r13
    .seh_pushreg %r13
    pushq %r14
    .seh_pushreg %r14
    pushq %r15
    .seh_pushreg %r15
    subq  $216, %rsp
    .seh_stackalloc 216
    movaps %xmm6, 32(%rsp)
    .seh_savexmm %xmm6, 32
    movaps %xmm7, 48(%rsp)
    .seh_savexmm %xmm7, 48
    movaps %xmm8, 64(%rsp)
    .seh_savexmm %xmm8, 64
    movaps %xmm9, 80(%rsp)
    .seh_savexmm %xmm9, 80
    movaps %xmm10, 96(%rsp)
    .seh_savexmm %xmm10, 96
    movaps %xmm11, 112(%rsp)
    .seh_savexmm %xmm11, 112
    movaps %xmm12, 128(%rsp)
    .seh_savexmm %xmm12, 128
    movaps %xmm13, 144(%rsp)
    .seh_savexmm %xmm13, 144
    movaps %xmm14, 160(%rsp)
    .seh_savexmm %xmm14, 160
    movaps %xmm15, 176(%rsp)
    .seh_savexmm %xmm15, 176
    .seh_endprologue
    .seh_handler dv_seh_handler64, @except
    stmxcsr 192(%rsp)
    fnstcw 196(%rsp)
    movq  %gs:0, %rax
    movq  %rax, 200(%rsp)
    movq  %rcx, %rax
    movq  %rdx, %rcx
    callq *%rax
    xorl  %eax, %eax
    jmp   2f
dv_seh_recover64:
    cld
    movq  200(%rsp), %rax
    movq  %rax, %gs:0
    ldmxcsr 192(%rsp)
    fnclex
    fldcw 196(%rsp)
    movl  $1, %eax
2:
    movaps 32(%rsp), %xmm6
    movaps 48(%rsp), %xmm7
    movaps 64(%rsp), %xmm8
    movaps 80(%rsp), %xmm9
    movaps 96(%rsp), %xmm10
    movaps 112(%rsp), %xmm11
    movaps 128(%rsp), %xmm12
    movaps 144(%rsp), %xmm13
    movaps 160(%rsp), %xmm14
    movaps 176(%rsp), %xmm15
    addq  $216, %rsp
    popq  %r15
    popq  %r14
    popq  %r13
    popq  %r12
    popq  %rsi
    popq  %rdi
    popq  %rbx
    popq  %rbp
    ret
    .seh_endproc

    .p2align 4
    .globl dv_seh_resume64
dv_seh_resume64:
    movq  %rcx, %rsp
    jmp   dv_seh_recover64
)");

extern "C" EXCEPTION_DISPOSITION DvSehHandler64(EXCEPTION_RECORD* rec, void* frame, CONTEXT*,
                                                void*) {
  // An unwind passing through (someone else's longjmp or unwinding) is no
  // exception of ours.
  if (rec->ExceptionFlags & EXCEPTION_UNWIND) return ExceptionContinueSearch;
  DvSehResume64(frame);
}

namespace {

bool SehCall(void (*fn)(void*), void* ctx) { return DvSehCall64(fn, ctx) == 0; }

#else
#error "guarded calls: no structured-exception frame for this processor"
#endif

// A library that recurses without end overflows the stack of the calling
// thread. The overflow is raised when the stack's guard page is touched, and
// its whole dispatch, ours included, runs in the few pages below it. Two
// things keep that working:
// - room: the thread's guarantee for overflow handling (SetThreadStackGuarantee,
//   looked up by name: older systems have no such call) is raised to
//   kOverflowRoom, never lowered. Wine's default of a page or two is not
//   enough for its own x86_64 dispatcher, and Wine puts a new thread's guard
//   pages at the very bottom of its stack, so a guard page is also placed
//   above that room.
// - a guard page at all: an overflow uses it up, and without one the next
//   overflow ends the process instead of raising an exception. After a
//   recovered exception one is put back, as the C runtime's _resetstkoflw
//   does: at the lowest committed page of the stack, but above the room.
// Nothing changes while a guard page is in place above the room.
constexpr ULONG kOverflowRoom = 32 * 1024;

ULONG RaiseStackGuarantee(ULONG atLeast) {
  using Fn = BOOL(WINAPI*)(PULONG);
  static const Fn fn = [] {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    return k32 ? reinterpret_cast<Fn>(
                     reinterpret_cast<void*>(GetProcAddress(k32, "SetThreadStackGuarantee")))
               : nullptr;
  }();
  ULONG size = atLeast;
  if (!fn || !fn(&size)) return 0;  // size: the guarantee before the call
  return atLeast > size ? atLeast : size;
}

void KeepOverflowRoom() {
  const ULONG room = RaiseStackGuarantee(kOverflowRoom);
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t page = si.dwPageSize;
  volatile char here = 0;
  MEMORY_BASIC_INFORMATION mbi;
  if (!VirtualQuery(const_cast<char*>(&here), &mbi, sizeof mbi)) return;
  char* const base = static_cast<char*>(mbi.AllocationBase);
  char* const top = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(&here) & ~(page - 1));
  char* const lowest = base + 2 * page + ((room + page - 1) & ~(page - 1));
  char* guard = nullptr;  // the lowest committed page at or above lowest
  for (char* p = base; p < top; p += mbi.RegionSize) {
    if (!VirtualQuery(p, &mbi, sizeof mbi) || mbi.AllocationBase != base) return;
    char* const end = p + mbi.RegionSize;
    if (mbi.State != MEM_COMMIT || end <= lowest) continue;
    if (mbi.Protect & PAGE_GUARD) return;  // in place
    if (!guard && (mbi.Protect & PAGE_READWRITE)) guard = p < lowest ? lowest : p;
  }
  if (!guard) guard = lowest;
  if (guard + page > top) return;  // no room left below the caller
  DWORD old;
  if (VirtualAlloc(guard, page, MEM_COMMIT, PAGE_READWRITE))
    VirtualProtect(guard, page, PAGE_READWRITE | PAGE_GUARD, &old);
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
  thread_local bool roomKept = false;
  if (!roomKept) {
    KeepOverflowRoom();
    roomKept = true;
  }
  if (!SehCall(&CatchAll, &call)) {
    KeepOverflowRoom();
    return false;
  }
  return !call.threw;
}

}  // namespace dv::plat

