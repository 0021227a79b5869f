#include "core/cpu_features.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>

#include <cstdint>
#endif

namespace ossara::detail {

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // Asked of the processor itself: __builtin_cpu_supports needs a run-time
    // symbol that Apple's toolchain does not provide. AVX2 is usable when the
    // processor has it and the system saves the wide registers (OSXSAVE, and
    // XCR0 with the SSE and AVX state bits).
    static const bool available = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
        constexpr unsigned kOsxsave = 1U << 27, kAvx = 1U << 28;
        if ((ecx & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
        unsigned xcr0_low = 0, xcr0_high = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
        if ((xcr0_low & 0x6U) != 0x6U) return false;
        if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
        constexpr unsigned kAvx2 = 1U << 5;
        return (ebx & kAvx2) != 0;
    }();
    return available;
#else
    return false;
#endif
}

}  // namespace ossara::detail
