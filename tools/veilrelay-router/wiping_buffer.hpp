#pragma once
// A growable byte buffer for plaintext that arrives in pieces (an upstream
// answer read by libcurl). Growing copies into a larger block and wipes the
// old one; the destructor wipes what is left, so no stale copy stays behind
// on the heap. Bounded: append() refuses to grow past `limit`. Taking bytes
// off the front (consume) moves the rest down and wipes what it leaves.
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace veilrelay_router {

class WipingBuffer {
public:
    explicit WipingBuffer(std::size_t limit) : limit_(limit) {}
    WipingBuffer(const WipingBuffer&) = delete;
    WipingBuffer& operator=(const WipingBuffer&) = delete;
    WipingBuffer(WipingBuffer&& other) noexcept
        : limit_(other.limit_), size_(other.size_), capacity_(other.capacity_), data_(std::move(other.data_)) {
        other.size_ = other.capacity_ = 0;
    }
    WipingBuffer& operator=(WipingBuffer&& other) noexcept {
        if (this != &other) {
            wipe();
            limit_ = other.limit_;
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            data_ = std::move(other.data_);
        }
        return *this;
    }
    ~WipingBuffer() { wipe(); }

    // False (and nothing appended) when the bytes would pass the limit.
    bool append(const void* bytes, std::size_t n) {
        if (n > limit_ - size_) return false;
        if (size_ + n > capacity_) grow(size_ + n);
        if (n > 0) std::memcpy(data_.get() + size_, bytes, n);
        size_ += n;
        return true;
    }

    bool append(std::string_view text) { return append(text.data(), text.size()); }

    // Removes the first `n` bytes; the bytes left behind past the new end are wiped.
    void consume(std::size_t n) noexcept {
        if (n >= size_) {
            if (data_) OPENSSL_cleanse(data_.get(), size_);
            size_ = 0;
            return;
        }
        std::memmove(data_.get(), data_.get() + n, size_ - n);
        OPENSSL_cleanse(data_.get() + size_ - n, n);
        size_ -= n;
    }

    std::span<std::uint8_t> bytes() noexcept { return {data_.get(), size_}; }
    std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data_.get()), size_}; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t limit() const noexcept { return limit_; }

    void wipe() noexcept {
        if (data_) OPENSSL_cleanse(data_.get(), capacity_);
        size_ = 0;
    }

private:
    void grow(std::size_t needed) {
        std::size_t capacity = capacity_ == 0 ? 4096 : capacity_;
        while (capacity < needed) capacity = capacity > limit_ / 2 ? limit_ : capacity * 2;
        auto bigger = std::make_unique<std::uint8_t[]>(capacity);
        if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
        if (data_) OPENSSL_cleanse(data_.get(), capacity_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::size_t limit_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::unique_ptr<std::uint8_t[]> data_;
};

}  // namespace veilrelay_router
