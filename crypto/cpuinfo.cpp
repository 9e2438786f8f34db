#include "crypto/cpuinfo.h"

#include <cpuid.h>
#include <immintrin.h>

namespace cppcrypto {

namespace {

// The caller checks OSXSAVE first: XGETBV faults without it.
__attribute__((target("xsave"))) uint64_t read_xcr0() { return _xgetbv(0); }

}  // namespace

cpu_info::cpu_info_impl cpu_info::cpu_info_impl::read_processor() {
  cpu_info_impl info;
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;

  __cpuid(0, eax, ebx, ecx, edx);
  const auto highest_standard = static_cast<int32_t>(eax);
  if (highest_standard > 0) {
    __cpuid(1, eax, ebx, ecx, edx);
    info.ecx1_ = ecx;
    info.edx1_ = edx;
    if ((ecx & (1U << 27)) != 0)
      info.xcr0_ = read_xcr0();
  }
  if (highest_standard > 6) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    info.ebx7_ = ebx;
    info.ecx7_ = ecx;
  }

  __cpuid(0x80000000U, eax, ebx, ecx, edx);
  if (eax > 0x80000000U) {
    __cpuid(0x80000001U, eax, ebx, ecx, edx);
    info.ecx81_ = ecx;
    info.edx81_ = edx;
  }
  return info;
}

cpu_info::cpu_info_impl cpu_info::impl_ = cpu_info::cpu_info_impl::read_processor();

}  // namespace cppcrypto
