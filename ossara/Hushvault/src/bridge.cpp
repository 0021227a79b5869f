// The extern "C" entry points libVeilrelay binds at run time.
#include <ossara/Hushvault.hpp>
#include <ossara/hushvault_bridge.hpp>

#include <memory>

namespace ossara {
namespace {

class BridgeScope final : public bridge::SecureScope {
public:
    BridgeScope(std::span<std::uint8_t> source, bool lock) : _guard(source, lock) {}
    std::span<std::uint8_t> data() noexcept override { return _guard->data(); }
    void close() noexcept override {
        // Leaving the guard is destroying it.
        std::unique_ptr<BridgeScope> self(this);
    }

private:
    secure_bytearray _guard;
};

class BridgeMemory final : public bridge::SecureMemory {
public:
    explicit BridgeMemory(std::shared_ptr<Hushvault> handler) : _handler(std::move(handler)) {}
    bool lock_memory(std::span<std::uint8_t> data) override { return _handler->lock_memory(data); }
    void zero_memory(std::span<std::uint8_t> data) override { _handler->zero_memory(data); }
    void release() noexcept override { std::unique_ptr<BridgeMemory> self(this); }
    bool unlock_memory(std::span<std::uint8_t> data) override { return _handler->unlock_memory(data); }

private:
    std::shared_ptr<Hushvault> _handler;
};

}  // namespace
}  // namespace ossara

extern "C" ossara::bridge::SecureScope* ossara_hushvault_secure_bytearray(std::uint8_t* data, std::size_t size,
                                                                          bool lock) {
    return std::make_unique<ossara::BridgeScope>(std::span<std::uint8_t>(data, size), lock).release();
}

extern "C" ossara::bridge::SecureMemory* ossara_hushvault_get_secure_memory() {
    return std::make_unique<ossara::BridgeMemory>(ossara::_get_secure_memory()).release();
}

extern "C" std::uint32_t ossara_hushvault_bridge_version() { return ossara::bridge::kBridgeVersion; }
