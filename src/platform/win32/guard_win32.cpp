// Guarded calls on Windows: a structured exception (an access violation and
// the like, a stack overflow, or an exception another compiler's library
// raised) that reaches the frame of the call becomes a false result.
//
// The handler is frame-based, so a library that raises and handles its own
// exceptions keeps doing so undisturbed: its own frames are asked first. A
// vectored handler would see those exceptions before the library does.
//
// On an exception the handler does not return to the dispatcher (which would
// refuse to continue a non-continuable exception). As an __except would, it
// first unwinds the frames between the fault and the call, so that the
// library's termination handlers (its __finally, another compiler's
// try..finally) run once; then it goes back to the recovery point inside the
// hand-written frame of the call. Two exceptions to that:
// - a stack overflow is not unwound: the handlers would run in the few pages
//   left below the guard page, and a second overflow there, with no guard
//   page left, ends the process. The library's frames are abandoned.
// - an exception raised during the unwind (a termination handler that
//   faults) reaches the handler again; it goes to the recovery point without
//   unwinding any further.
//
// The recovery point leaves the floating-point unit as the host had it at the
// call: the x87 register stack empty and no x87 exception pending (fninit),
// the x87 control word and MXCSR as saved at the call's entry. A library that
// left values on the x87 stack would otherwise make the host's next x87
// arithmetic give NaN; one that unmasked exceptions would make it trap.
//
// i686: the registration record is linked by hand on the thread's exception
// chain (FS:[0]); GCC has no __try/__except. The handler unwinds with
// RtlUnwind to its own record, from assembly that keeps EBX, ESI and EDI
// across it: Windows' RtlUnwind does not. The recovery point restores the
// stack and frame pointers saved in the record, and the chain is reset to
// what it was before the call: after a stack overflow or an exception during
// the unwind the library's registrations are still on it, and the dispatcher
// has one of its own while a handler runs. MXCSR is saved and restored
// without asking CPUID: every processor and system this runs on has SSE.
//
// x86_64: exception handling is table-based; the frame of the call is an
// assembly function whose unwind data names its handler. The handler unwinds
// with RtlUnwindEx to that frame, with the recovery point as the target; the
// unwind uses the same unwind data the dispatcher has just walked to find the
// handler. The recovery point does not rely on the registers the unwind
// restores: it takes the stack pointer of the frame and restores the
// callee-saved registers the prologue stored there, as the i686 body does,
// so a resume without the unwind (stack overflow, nested exception) lands in
// the same state.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace dv::plat {

namespace {

#if defined(__i386__)

struct GuardFrame {
  GuardFrame* next;     // the registration record: next record of the chain,
  void* handler;        // and the handler
  uint32_t esp;         // the recovery point: stack pointer, frame pointer and
  uint32_t ebp;         // code address, filled in by dv_seh_call
  uint32_t eip;
  uint32_t mxcsr;       // the floating-point state at entry, saved by dv_seh_call
  uint16_t x87Control;
  uint16_t unused;
  uint32_t unwinding;   // set once the handler has begun unwinding
};
static_assert(offsetof(GuardFrame, handler) == 4 && offsetof(GuardFrame, esp) == 8 &&
              offsetof(GuardFrame, ebp) == 12 && offsetof(GuardFrame, eip) == 16 &&
              offsetof(GuardFrame, mxcsr) == 20 && offsetof(GuardFrame, x87Control) == 24);

// Links frame, calls fn(ctx), unlinks frame; 0 when fn returned, 1 when an
// exception brought it back to the recovery point. fn must not let a C++
// exception out: this frame has no unwind information.
extern "C" int DvSehCall(GuardFrame* frame, void (*fn)(void*), void* ctx) asm("dv_seh_call");
// Resumes at frame's recovery point; never returns.
extern "C" [[noreturn]] void DvSehResume(GuardFrame* frame) asm("dv_seh_resume");
// Runs the termination handlers of the records above frame and takes them
// off the chain (RtlUnwind to frame); returns once frame heads it. Windows'
// RtlUnwind returns with EBX, ESI and EDI zeroed, so they are saved around
// it here rather than left to what the compiler keeps in them.
extern "C" void DvSehUnwind(GuardFrame* frame, EXCEPTION_RECORD* rec) asm("dv_seh_unwind");

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
    stmxcsr 20(%eax)
    fnstcw 24(%eax)
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
    fninit
    fldcw 24(%eax)
    ldmxcsr 20(%eax)
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

    .p2align 4
dv_seh_unwind:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  20(%esp), %eax
    pushl $0
    pushl 28(%esp)
    pushl 16(%eax)
    pushl %eax
    call  *__imp__RtlUnwind@16
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

EXCEPTION_DISPOSITION __cdecl OnException(EXCEPTION_RECORD* rec, void* establisher, CONTEXT*,
                                          void*) {
  // An unwind passing through (someone else's longjmp or unwinding) is no
  // exception of ours.
  if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  GuardFrame* const frame = static_cast<GuardFrame*>(establisher);
  if (!frame->unwinding && rec->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    frame->unwinding = 1;
    DvSehUnwind(frame, rec);
  }
  DvSehResume(frame);
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
// The recovery point itself, where the unwind lands.
extern "C" void DvSehRecover64() asm("dv_seh_recover64");
extern "C" EXCEPTION_DISPOSITION DvSehHandler64(EXCEPTION_RECORD* rec, void* frame, CONTEXT*,
                                                void*) asm("dv_seh_handler64");

// The frame: the eight general callee-saved registers pushed, then 216 bytes:
// 32 of home space for the call, xmm6-xmm15 at 32..191, MXCSR at 192, the
// x87 control word at 196, the thread's exception list at 200 and at 208 the
// mark that the handler has begun unwinding. The dispatcher's establisher
// frame is the stack pointer after the prologue, so it locates all of them;
// it is also the stack pointer at the call, where the unwind lands.
//
// The exception list (GS:[0]) plays no part in x86_64 exception handling on
// Windows, but Wine's dispatcher links a record of its own there while a
// handler runs; since the handler never returns, the recovery point resets
// the list, or the next exception would find that stale record.
asm(R"(
    .text
    .p2align 4
    .globl dv_seh_recover64
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
    movl  $0, 208(%rsp)
    movq  %rcx, %rax
    movq  %rdx, %rcx
    callq *%rax
    xorl  %eax, %eax
    jmp   2f
dv_seh_recover64:
    cld
    movq  200(%rsp), %rax
    movq  %rax, %gs:0
    fninit
    fldcw 196(%rsp)
    ldmxcsr 192(%rsp)
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

namespace {

constexpr std::size_t kUnwindingMark = 208;  // offset in the frame, see above

// Runs the termination handlers of the frames below frame and lands at the
// recovery point with the stack pointer at frame; never returns. Kept out of
// the handler so that a stack overflow, which is not unwound, does not pay
// for the context on its stack.
[[noreturn]] __attribute__((noinline)) void UnwindTo64(void* frame, EXCEPTION_RECORD* rec) {
  CONTEXT context;
  RtlUnwindEx(frame, reinterpret_cast<void*>(&DvSehRecover64), rec, nullptr, &context, nullptr);
  DvSehResume64(frame);  // not reached: the unwind restores the context it ends in
}

}  // namespace

extern "C" EXCEPTION_DISPOSITION DvSehHandler64(EXCEPTION_RECORD* rec, void* frame, CONTEXT*,
                                                void*) {
  // An unwind passing through (ours, someone else's longjmp or unwinding) is
  // no exception of ours.
  if (rec->ExceptionFlags & EXCEPTION_UNWIND) return ExceptionContinueSearch;
  auto* const unwinding =
      reinterpret_cast<volatile uint32_t*>(static_cast<char*>(frame) + kUnwindingMark);
  if (!*unwinding && rec->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    *unwinding = 1;
    UnwindTo64(frame, rec);
  }
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
// - room: the stack's guarantee for overflow handling (SetThreadStackGuarantee,
//   looked up by name: older systems have no such call; Windows keeps one per
//   fiber, Wine one per thread) is raised to kOverflowRoom, never lowered.
//   Wine's default of a page or two is not enough for its own x86_64
//   dispatcher, and Wine puts a new stack's guard page at its very bottom, so
//   a guard page is also placed above that room.
// - a guard page at all: an overflow uses it up, and without one the next
//   overflow ends the process instead of raising an exception. After a
//   recovered exception one is put back, as the C runtime's _resetstkoflw
//   does: at the lowest committed page of the stack, but above the room.
// Nothing changes while a guard page is in place above the room. Both are
// done only on the stack the thread information block names (the thread's,
// or the fiber's running on it): a stack a host carved from other memory is
// its memory, and a guard page there would fault the host's next access.
// A thread has as many stacks as it runs fibers, each with its own guard
// page, so what was found is kept per stack (see StackRoom).
constexpr ULONG kOverflowRoom = 32 * 1024;

// Where the TEB keeps the allocation base of the current stack
// (DeallocationStack); the TIB at its start has only the committed range.
#if defined(__i386__)
constexpr std::size_t kDeallocationStackOffset = 0xE0C;
#else
constexpr std::size_t kDeallocationStackOffset = 0x1478;
#endif

// The current thread's TEB, through its self pointer (NT_TIB.Self).
const char* ThreadEnvironmentBlock() {
  const char* teb;
#if defined(__i386__)
  asm("movl %%fs:0x18, %0" : "=r"(teb));
#else
  asm("movq %%gs:0x30, %0" : "=r"(teb));
#endif
  return teb;
}
static_assert(offsetof(NT_TIB, Self) == 6 * sizeof(void*));

// Raises the current stack's guarantee to atLeast (0 only asks); the
// guarantee now, or 0 when the call is not there or refused.
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

// The guard page in place above the room (found or put back); null when
// none could be put, or the caller is not on the thread's stack.
char* KeepOverflowRoom() {
  volatile char here = 0;
  char* const at = const_cast<char*>(&here);
  const char* const teb = ThreadEnvironmentBlock();
  const NT_TIB* const tib = reinterpret_cast<const NT_TIB*>(teb);
  if (at < static_cast<char*>(tib->StackLimit) || at >= static_cast<char*>(tib->StackBase))
    return nullptr;
  char* const base = *reinterpret_cast<char* const*>(teb + kDeallocationStackOffset);
  MEMORY_BASIC_INFORMATION mbi;
  if (!VirtualQuery(at, &mbi, sizeof mbi) || mbi.AllocationBase != base) return nullptr;
  const ULONG room = RaiseStackGuarantee(kOverflowRoom);
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t page = si.dwPageSize;
  char* const top = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(at) & ~(page - 1));
  char* const lowest = base + 2 * page + ((room + page - 1) & ~(page - 1));
  char* guard = nullptr;  // the lowest committed page at or above lowest
  for (char* p = base; p < top; p += mbi.RegionSize) {
    if (!VirtualQuery(p, &mbi, sizeof mbi) || mbi.AllocationBase != base) return nullptr;
    char* const end = p + mbi.RegionSize;
    if (mbi.State != MEM_COMMIT || end <= lowest) continue;
    if (mbi.Protect & PAGE_GUARD) return p < lowest ? lowest : p;  // in place
    if (!guard && (mbi.Protect & PAGE_READWRITE)) guard = p < lowest ? lowest : p;
  }
  if (!guard) guard = lowest;
  if (guard + page > top) return nullptr;  // no room left below the caller
  DWORD old;
  if (!VirtualAlloc(guard, page, MEM_COMMIT, PAGE_READWRITE) ||
      !VirtualProtect(guard, page, PAGE_READWRITE | PAGE_GUARD, &old))
    return nullptr;
  return guard;
}

// What a thread found on the stacks it made guarded calls on: the guard page
// kept above the room, by the base of the stack. A few stacks suffice: a
// stack not among them costs a new look, not a wrong answer. Every call
// checks the entry still holds (StillInPlace): an overflow the host caught
// uses the page up, Wine moves it down as the stack grows, and a fiber
// deleted and another created may leave a new stack at the same base, with
// neither page nor guarantee (Windows keeps a guarantee per fiber).
struct StackRoom {
  const void* stackBase;  // NT_TIB.StackBase; null: a free entry
  char* guard;            // null: none known to be in place
};
constexpr int kStacksKept = 4;

StackRoom& RoomOfThisStack() {
  thread_local StackRoom stacks[kStacksKept];
  thread_local int next = 0;  // the entry to take next when none is free
  const void* const base = reinterpret_cast<const NT_TIB*>(ThreadEnvironmentBlock())->StackBase;
  for (StackRoom& s : stacks)
    if (s.stackBase == base) return s;
  for (StackRoom& s : stacks)
    if (!s.stackBase) return s = StackRoom{base, nullptr};
  StackRoom& s = stacks[next];
  next = (next + 1) % kStacksKept;
  return s = StackRoom{base, nullptr};
}

bool StillInPlace(const char* guard) {
  MEMORY_BASIC_INFORMATION mbi;
  return guard && VirtualQuery(guard, &mbi, sizeof mbi) && mbi.State == MEM_COMMIT &&
         (mbi.Protect & PAGE_GUARD) && RaiseStackGuarantee(0) >= kOverflowRoom;
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
  // Until a guard page is known to be in place, every call on the stack
  // tries again: the last one could not be put back, or the calls so far ran
  // on a stack that is not the one the thread information block names.
  StackRoom& room = RoomOfThisStack();
  if (!StillInPlace(room.guard)) room.guard = KeepOverflowRoom();
  if (!SehCall(&CatchAll, &call)) {
    // Looked up again: the call may have run fibers whose stacks took the entry.
    RoomOfThisStack().guard = KeepOverflowRoom();
    return false;
  }
  return !call.threw;
}

}  // namespace dv::plat

