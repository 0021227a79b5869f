#pragma once
// Watches heap memory as it is released. While a HeapWatch is alive, every
// block the watching thread frees through operator delete (and through
// OpenSSL's allocator, where that could be hooked before OpenSSL's first
// allocation) is scanned, just before it goes back to the allocator,
// for byte patterns (a plaintext, a key) and for whether registered ranges
// (the protected buffers) hold only zeros. Other threads (an in-process
// router) are watched only when asked for (Threads::all); their patterns
// must then be given before those threads free anything of interest. Memory
// released with plain free() by other libraries, memory still alive, and
// stack or register copies are not seen.
#include <cstddef>
#include <cstdint>
#include <span>

namespace ossara::testing {

class HeapWatch {
public:
    static constexpr int kMaxPatterns = 8;
    static constexpr int kMaxRanges = 4;
    static constexpr std::size_t kMaxPatternSize = 256;

    enum class Threads { this_one, all };

    explicit HeapWatch(Threads threads = Threads::this_one);  // starts watching frees
    ~HeapWatch();  // stops, and wipes the stored patterns
    HeapWatch(const HeapWatch&) = delete;
    HeapWatch& operator=(const HeapWatch&) = delete;

    // Counts freed blocks containing `pattern` (at most kMaxPatternSize bytes); returns its index.
    int watch_bytes(std::span<const std::uint8_t> pattern);
    // Notes when a freed block contains `range`, and whether the range was all zeros then.
    int watch_range(std::span<const std::uint8_t> range);

    int hits(int pattern) const;
    bool range_freed(int range) const;
    bool range_zero_when_freed(int range) const;

    // Whether OpenSSL's allocator was hooked (it must be before OpenSSL's first allocation).
    static bool openssl_watched();
};

}  // namespace ossara::testing
