#include "core/large_buffers.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ossara::detail {

void advise_large_buffer(void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (data == nullptr || size < kLargeBufferBytes) return;
    // The whole large pages inside the buffer only: advice on a range
    // applies to its pages, and a neighbouring allocation keeps its own.
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
    if (last <= first) return;
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace ossara::detail
