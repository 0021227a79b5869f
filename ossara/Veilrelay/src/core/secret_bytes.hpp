#pragma once
// A byte buffer for secrets (keys, plaintexts) that wipes itself with
// OPENSSL_cleanse when destroyed or cleared. Move-only, so a secret is never
// copied by accident.
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace ossara::detail {

class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size) : bytes_(size) {}
    explicit SecretBytes(std::vector<std::uint8_t>&& bytes) noexcept : bytes_(std::move(bytes)) {}
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~SecretBytes() { wipe(); }

    std::uint8_t* data() noexcept { return bytes_.data(); }
    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    bool empty() const noexcept { return bytes_.empty(); }
    std::span<std::uint8_t> span() noexcept { return bytes_; }
    std::span<const std::uint8_t> span() const noexcept { return bytes_; }
    // Shrinks the logical size (e.g. after a cipher wrote fewer bytes); the
    // dropped tail is wiped first.
    void truncate(std::size_t size) noexcept {
        if (size < bytes_.size()) {
            OPENSSL_cleanse(bytes_.data() + size, bytes_.size() - size);
            bytes_.resize(size);
        }
    }
    void wipe() noexcept {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_.clear();
        bytes_.shrink_to_fit();
    }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace ossara::detail
