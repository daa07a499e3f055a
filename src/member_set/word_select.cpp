#include "member_set/word_select.h"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace grouptrace {
namespace {

bool portableRequested() {
  const char* value = std::getenv("GROUPTRACE_PORTABLE_BITS");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

bool detectFastBitOps() {
#if defined(__x86_64__)
  if (portableRequested()) return false;
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0 || eax < 7) return false;
  const bool amd = ebx == 0x68747541 && edx == 0x69746e65 && ecx == 0x444d4163;  // "AuthenticAMD"
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool popcnt = (ecx & bit_POPCNT) != 0;
  const unsigned family = ((eax >> 8) & 0xF) + (((eax >> 8) & 0xF) == 0xF ? (eax >> 20) & 0xFF : 0);
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool bmi2 = (ebx & bit_BMI2) != 0;
  // Before family 19h, AMD's pdep takes a cycle per set bit of its mask.
  return popcnt && bmi2 && !(amd && family < 0x19);
#else
  return false;
#endif
}

}  // namespace

const bool gFastBitOps = detectFastBitOps();

}  // namespace grouptrace
