#pragma once
// Large buffers (the serialised payload, the request package) are written
// once, front to back, into memory fresh from the kernel. Each of their
// pages is then faulted in on first touch, one trap per 4 KiB, and on a
// virtual machine those traps cost several times the copy itself. Whether
// the allocator hands out fresh pages or recycled ones depends on what sizes
// the process freed before, so the cost of a 10 MiB round moved with the
// sizes that ran before it.
#include <cstddef>

namespace ossara::detail {

// Buffers from this size on get the advice below.
inline constexpr std::size_t kLargeBufferBytes = std::size_t{4} << 20;

// Asks the kernel to back [data, data + size) with large pages where it can
// (transparent huge pages, advised per range on Linux): a handful of faults
// instead of thousands, whatever the allocator's history. Only advice: a
// kernel or platform without it leaves the memory as it is. For buffers
// below kLargeBufferBytes it does nothing.
void advise_large_buffer(void* data, std::size_t size) noexcept;

}  // namespace ossara::detail
