#pragma once

// Processor features read once with CPUID before main. The hash and cipher classes consult them
// to pick code paths; nothing else writes them after start-up.

#include <cstdint>

namespace cppcrypto {

class cpu_info {
public:
  struct cpu_info_impl {
    cpu_info_impl() = default;
    // Reads the processor; the default-constructed record has every feature off.
    static cpu_info_impl read_processor();

    uint32_t ecx1_ = 0;   // leaf 1, ECX
    uint32_t edx1_ = 0;   // leaf 1, EDX
    uint32_t ebx7_ = 0;   // leaf 7 sub-leaf 0, EBX
    uint32_t ecx7_ = 0;   // leaf 7 sub-leaf 0, ECX
    uint32_t ecx81_ = 0;  // leaf 0x80000001, ECX
    uint32_t edx81_ = 0;  // leaf 0x80000001, EDX
    // XCR0 as the operating system set it (read only when leaf 1 reports OSXSAVE): AVX code
    // faults unless the system saves the YMM registers, whatever CPUID says.
    uint64_t xcr0_ = 0;

    [[nodiscard]] bool sse2() const { return (edx1_ & (1U << 26)) != 0; }
    [[nodiscard]] bool sse41() const { return (ecx1_ & (1U << 19)) != 0; }
    [[nodiscard]] bool avx2() const { return (ebx7_ & (1U << 5)) != 0 && os_saves_ymm(); }
    [[nodiscard]] bool bmi2() const { return (ebx7_ & (1U << 8)) != 0; }
    [[nodiscard]] bool os_saves_ymm() const {
      constexpr uint64_t k_sse_and_ymm_state = 0x6;
      return (ecx1_ & (1U << 27)) != 0 && (xcr0_ & k_sse_and_ymm_state) == k_sse_and_ymm_state;
    }
  };

  static cpu_info_impl impl_;
};

}  // namespace cppcrypto
