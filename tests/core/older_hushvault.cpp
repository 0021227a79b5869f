// Stands in for a secure-memory library of bridge version 1: both entry
// points, no version entry point, and a handler interface that ends before
// unlock_memory. Each call it serves is reported on stderr.
#include <ossara/hushvault_bridge.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The version 1 layout of ossara::bridge::SecureMemory.
class SecureMemoryV1 {
public:
    virtual bool lock_memory(std::span<std::uint8_t> data) = 0;
    virtual void zero_memory(std::span<std::uint8_t> data) = 0;
    virtual void release() noexcept = 0;

protected:
    ~SecureMemoryV1() = default;
};

class Memory final : public SecureMemoryV1 {
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
    // The client sees the version 1 object through the current declaration.
    return reinterpret_cast<ossara::bridge::SecureMemory*>(static_cast<SecureMemoryV1*>(std::make_unique<Memory>().release()));
}
