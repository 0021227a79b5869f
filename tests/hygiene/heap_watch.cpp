// Replaces the global operator new/delete of the test program and hooks
// OpenSSL's allocator, so that blocks released on the watching thread are
// scanned before they are freed. Nothing on the free path allocates.
#include "heap_watch.hpp"

#include "support/process_probe.hpp"

#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ossara::testing {
namespace {

struct Pattern {
    std::uint8_t bytes[HeapWatch::kMaxPatternSize];
    std::size_t size;
    std::atomic<int> hits;
};

struct Range {
    const std::uint8_t* begin;
    std::size_t size;
    std::atomic<bool> freed;
    std::atomic<bool> zero;
};

struct WatchState {
    Pattern patterns[HeapWatch::kMaxPatterns];
    std::atomic<int> pattern_count{0};  // published after the pattern is written
    Range ranges[HeapWatch::kMaxRanges];
    std::atomic<int> range_count{0};
};

WatchState state;
thread_local bool watching = false;
std::atomic<bool> watching_all{false};

void scan(const void* block, std::size_t size) {
    if ((!watching && !watching_all.load(std::memory_order_acquire)) || block == nullptr || size == 0) return;
    const auto* begin = static_cast<const std::uint8_t*>(block);
    const int patterns = state.pattern_count.load(std::memory_order_acquire);
    for (int i = 0; i < patterns; ++i) {
        Pattern& p = state.patterns[i];
        if (p.size <= size && memmem(begin, size, p.bytes, p.size) != nullptr) ++p.hits;
    }
    const int ranges = state.range_count.load(std::memory_order_acquire);
    for (int i = 0; i < ranges; ++i) {
        Range& r = state.ranges[i];
        // Only the first release counts: the memory may be reused and freed again later.
        if (!r.freed && r.begin >= begin && r.begin + r.size <= begin + size) {
            bool zero = true;
            for (std::size_t k = 0; k < r.size; ++k) zero = zero && r.begin[k] == 0;
            r.freed = true;
            r.zero = zero;
        }
    }
}

void release(void* block) noexcept {
    if (block != nullptr) scan(block, heap_block_size(block));
    std::free(block);
}

void* allocate(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
    const auto align = static_cast<std::size_t>(alignment);
    void* block = std::aligned_alloc(align, (size + align - 1) / align * align);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* openssl_malloc(std::size_t size, const char*, int) { return std::malloc(size); }
void* openssl_realloc(void* block, std::size_t size, const char*, int) { return std::realloc(block, size); }
void openssl_free(void* block, const char*, int) { release(block); }

// OpenSSL accepts the hooks only before its first allocation, so they are
// installed while the program starts.
const bool openssl_hooked = CRYPTO_set_mem_functions(openssl_malloc, openssl_realloc, openssl_free) == 1;

}  // namespace

HeapWatch::HeapWatch(Threads threads) {
    state.pattern_count = 0;
    state.range_count = 0;
    watching = true;
    if (threads == Threads::all) watching_all = true;
}

HeapWatch::~HeapWatch() {
    watching = false;
    watching_all = false;
    OPENSSL_cleanse(state.patterns, sizeof state.patterns);
    state.pattern_count = 0;
    state.range_count = 0;
}

int HeapWatch::watch_bytes(std::span<const std::uint8_t> pattern) {
    const int index = state.pattern_count.load();
    if (index == kMaxPatterns || pattern.empty() || pattern.size() > kMaxPatternSize) std::abort();
    Pattern& p = state.patterns[index];
    std::memcpy(p.bytes, pattern.data(), pattern.size());
    p.size = pattern.size();
    p.hits = 0;
    state.pattern_count.store(index + 1, std::memory_order_release);
    return index;
}

int HeapWatch::watch_range(std::span<const std::uint8_t> range) {
    const int index = state.range_count.load();
    if (index == kMaxRanges) std::abort();
    Range& r = state.ranges[index];
    r.begin = range.data();
    r.size = range.size();
    r.freed = false;
    r.zero = false;
    state.range_count.store(index + 1, std::memory_order_release);
    return index;
}

int HeapWatch::hits(int pattern) const { return state.patterns[pattern].hits; }
bool HeapWatch::range_freed(int range) const { return state.ranges[range].freed; }
bool HeapWatch::range_zero_when_freed(int range) const { return state.ranges[range].zero; }
bool HeapWatch::openssl_watched() { return openssl_hooked; }

}  // namespace ossara::testing

// The program's global allocation functions.
void* operator new(std::size_t size) { return ossara::testing::allocate(size); }
void* operator new[](std::size_t size) { return ossara::testing::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new(std::size_t size, std::align_val_t a) { return ossara::testing::allocate_aligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return ossara::testing::allocate_aligned(size, a); }
void operator delete(void* p) noexcept { ossara::testing::release(p); }
void operator delete[](void* p) noexcept { ossara::testing::release(p); }
void operator delete(void* p, std::size_t) noexcept { ossara::testing::release(p); }
void operator delete[](void* p, std::size_t) noexcept { ossara::testing::release(p); }
void operator delete(void* p, std::align_val_t) noexcept { ossara::testing::release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { ossara::testing::release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { ossara::testing::release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { ossara::testing::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { ossara::testing::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { ossara::testing::release(p); }
