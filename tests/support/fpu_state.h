// The floating-point unit as a host sees it, for the doubles (a library that
// leaves the unit mid-work and then faults) and for the tests (the host's
// state before and after such a call). x86 only: x87 and SSE control through
// GCC inline assembly; elsewhere DV_TEST_X87 is 0 and nothing is declared.
// Header-only: the doubles are built without the project's libraries.
#pragma once

#if defined(__i386__) || defined(__x86_64__)
#define DV_TEST_X87 1

#include <cstdint>
#include <string>

namespace dvtest::fpu {

// The x87 environment as FNSTENV stores it in 32-bit form (both widths).
struct X87Env {
  uint16_t cw, r0, sw, r1, tags, r2;
  uint32_t ip, cs, dp, ds;
};

struct State {
  uint16_t cw, sw, tags;
  uint32_t mxcsr;
};

inline State Read() {
  X87Env env;
  uint32_t mxcsr;
  // FNSTENV masks every exception; FLDENV puts the control word back.
  asm volatile("fnstenv %0\n\tfldenv %0\n\tstmxcsr %1" : "+m"(env), "=m"(mxcsr));
  return {env.cw, env.sw, env.tags, mxcsr};
}

// A clean unit (empty stack, no flags) with these controls.
inline void Set(uint16_t cw, uint32_t mxcsr) {
  asm volatile("fninit\n\tfldcw %0\n\tldmxcsr %1" : : "m"(cw), "m"(mxcsr));
}

// What a library may leave behind: other rounding, precision and masks in
// both units, three values on the x87 stack and an unmasked division by zero
// pending, raised at the next waiting x87 instruction.
inline void LeaveMidWork() {
  const uint32_t mxcsr = 0xFF80;  // all masked, round toward zero, flush to zero
  X87Env env;
  asm volatile("ldmxcsr %1\n\tfld1\n\tfld1\n\tfld1\n\tfnstenv %0" : "=m"(env) : "m"(mxcsr));
  env.cw = 0x0E7B;   // truncating, 53-bit, division by zero unmasked
  env.sw |= 0x0084;  // division by zero, and the summary bit that makes it pending
  asm volatile("fldenv %0" : : "m"(env));
}

// Six 1.0 pushed before any is added: NaN when the stack was not empty.
inline long double SumOfSixOnes() {
  long double sum;
  asm volatile(
      "fnclex\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\t"
      "faddp\n\tfaddp\n\tfaddp\n\tfaddp\n\tfaddp\n\tfstpt %0"
      : "=m"(sum));
  return sum;
}

inline std::string Hex(uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

// What differs from a host that set these controls on a clean unit: the
// control word, MXCSR's control bits, an exception pending (its summary bit
// or a flag the control word unmasks), a register in use, the sum. Empty when
// nothing does.
inline std::string Deviation(uint16_t cw, uint32_t mxcsr) {
  constexpr uint32_t kMxcsrControl = 0xFFC0;
  const State now = Read();
  std::string out;
  if (now.cw != cw) out += "x87 control word " + Hex(now.cw) + "; ";
  if ((now.mxcsr & kMxcsrControl) != (mxcsr & kMxcsrControl))
    out += "MXCSR " + Hex(now.mxcsr) + "; ";
  if ((now.sw & 0x0080) || (now.sw & 0x003F & ~now.cw)) out += "x87 status " + Hex(now.sw) + "; ";
  if (now.tags != 0xFFFF) out += "x87 tag word " + Hex(now.tags) + "; ";
  if (SumOfSixOnes() != 6.0L) out += "six 1.0 do not sum to 6; ";
  return out;
}

// The host's controls for a scope; the test program's own come back after.
class HostControls {
 public:
  HostControls(uint16_t cw, uint32_t mxcsr) : own_(Read()) { Set(cw, mxcsr); }
  ~HostControls() { Set(own_.cw, own_.mxcsr); }
  HostControls(const HostControls&) = delete;
  HostControls& operator=(const HostControls&) = delete;

 private:
  State own_;
};

// A host's controls that differ from every default: 53-bit x87 precision,
// SSE rounding down.
constexpr uint16_t kHostCw = 0x027F;
constexpr uint32_t kHostMxcsr = 0x3F80;

}  // namespace dvtest::fpu

#else
#define DV_TEST_X87 0
#endif
