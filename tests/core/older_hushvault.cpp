// Stands in for a secure-memory library of bridge version 1, built from that
// version's declarations (below, in place of the current header): both entry
// points, no version entry point, and a handler interface that ends before
// unlock_memory. Each handler call it serves is reported on stderr.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace ossara::bridge {

class SecureScope {
public:
    virtual std::span<std::uint8_t> data() noexcept = 0;
    virtual void close() noexcept = 0;

protected:
    ~SecureScope() = default;
};

class SecureMemory {
public:
    virtual bool lock_memory(std::span<std::uint8_t> data) = 0;
    virtual void zero_memory(std::span<std::uint8_t> data) = 0;
    virtual void release() noexcept = 0;

protected:
    ~SecureMemory() = default;
};

}  // namespace ossara::bridge

namespace {

class Memory final : public ossara::bridge::SecureMemory {
public:
    bool lock_memory(std::span<std::uint8_t> data) override {
        std::fprintf(stderr, "older library: lock_memory %zu\n", data.size());
        return true;
    }
    void zero_memory(std::span<std::uint8_t> data) override {
        std::memset(data.data(), 0, data.size());
        std::fprintf(stderr, "older library: zero_memory %zu\n", data.size());
    }
    void release() noexcept override { std::unique_ptr<Memory> self(this); }
};

class Scope final : public ossara::bridge::SecureScope {
public:
    explicit Scope(std::span<std::uint8_t> source) : _bytes(source.begin(), source.end()) {
        std::memset(source.data(), 0, source.size());
    }
    std::span<std::uint8_t> data() noexcept override { return _bytes; }
    void close() noexcept override { std::unique_ptr<Scope> self(this); }

private:
    std::vector<std::uint8_t> _bytes;
};

}  // namespace

extern "C" ossara::bridge::SecureScope* ossara_hushvault_secure_bytearray(std::uint8_t* data, std::size_t size, bool) {
    return std::make_unique<Scope>(std::span<std::uint8_t>(data, size)).release();
}

extern "C" ossara::bridge::SecureMemory* ossara_hushvault_get_secure_memory() {
    return std::make_unique<Memory>().release();
}
