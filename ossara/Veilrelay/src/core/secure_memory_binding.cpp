// Run-time binding to libHushvault. The client does not link against it: the
// library is loaded from this library's own directory (or by its SONAME
// through the RUNPATH) and exactly two extern "C" entry points are resolved.
#include "core/secure_memory_binding.hpp"

#include "core/logging.hpp"

#include <ossara/hushvault_bridge.hpp>

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace ossara::detail {

namespace {

struct Binding {
    ossara_hushvault_secure_bytearray_fn secure_bytearray = nullptr;
    ossara_hushvault_get_secure_memory_fn get_secure_memory = nullptr;
    std::uint32_t version = 0;  // of the bridge the library implements
    bool available = false;
};

// The first bridge version with SecureMemory::unlock_memory.
constexpr std::uint32_t kUnlockVersion = 2;

// The directory this library was loaded from, or empty when unknown.
std::filesystem::path own_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&secure_memory_available), &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code ec;
    const auto path = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path() : path.parent_path();
}

void* open_library() {
    const auto dir = own_directory();
    if (!dir.empty()) {
        if (void* handle = dlopen((dir / OSSARA_HUSHVAULT_SONAME).c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
    }
    return dlopen(OSSARA_HUSHVAULT_SONAME, RTLD_NOW | RTLD_LOCAL);
}

Binding bind() {
    Binding binding;
    // The handle is never closed: the bound functions stay in use for the
    // life of the process.
    if (void* handle = open_library()) {
        binding.secure_bytearray =
            reinterpret_cast<ossara_hushvault_secure_bytearray_fn>(dlsym(handle, bridge::kSecureBytearraySymbol));
        binding.get_secure_memory =
            reinterpret_cast<ossara_hushvault_get_secure_memory_fn>(dlsym(handle, bridge::kGetSecureMemorySymbol));
        // A library older than the version entry point implements version 1.
        const auto version =
            reinterpret_cast<ossara_hushvault_bridge_version_fn>(dlsym(handle, bridge::kBridgeVersionSymbol));
        binding.version = version != nullptr ? version() : 1;
    }
    binding.available = binding.secure_bytearray != nullptr && binding.get_secure_memory != nullptr;
    if (!binding.available) {
        log().warn("Hushvault module not available, falling back to standard memory handling");
    } else if (binding.version < kUnlockVersion) {
        // Bound as it is: what the older library lacks is done without.
        log().warn("Hushvault module is older than this client (bridge version {}, expected {}): pages locked for "
                   "the private key stay locked",
                   binding.version, bridge::kBridgeVersion);
    }
    return binding;
}

const Binding& binding() {
    static const Binding bound = bind();
    return bound;
}

// Returns the handler share on every path, including when an operation throws.
class HandlerShare {
public:
    explicit HandlerShare(bridge::SecureMemory* share) : share_(share) {
        if (share_ == nullptr) throw std::runtime_error("the secure-memory handler is not available");
    }
    ~HandlerShare() { share_->release(); }
    HandlerShare(const HandlerShare&) = delete;
    HandlerShare& operator=(const HandlerShare&) = delete;
    bridge::SecureMemory* operator->() const noexcept { return share_; }

private:
    bridge::SecureMemory* share_;
};

}  // namespace

bool secure_memory_available() { return binding().available; }

SecureScope::~SecureScope() {
    if (scope_ != nullptr) scope_->close();
}

std::span<std::uint8_t> SecureScope::data() noexcept {
    return scope_ != nullptr ? scope_->data() : std::span<std::uint8_t>();
}

SecureScope enter_secure_bytearray(std::span<std::uint8_t> source, bool lock) {
    const Binding& bound = binding();
    if (!bound.available) throw std::logic_error("secure memory is not available");
    bridge::SecureScope* scope = bound.secure_bytearray(source.data(), source.size(), lock);
    if (scope == nullptr) throw std::runtime_error("secure_bytearray returned no guard");
    return SecureScope(scope);
}

bool lock_and_zero_with_process_handler(std::span<std::uint8_t> bytes) {
    return lock_and_zero_with_process_handler(bytes, [](bool) {});
}

bool lock_and_zero_with_process_handler(std::span<std::uint8_t> bytes, const std::function<void(bool)>& after_lock) {
    const Binding& bound = binding();
    if (!bound.available) throw std::logic_error("secure memory is not available");
    HandlerShare handler(bound.get_secure_memory());
    const bool locked = handler->lock_memory(bytes);
    // The lock is given back on every path, once the bytes are zero: a
    // locked page left behind would count against the process's lock limit
    // for good (and keep a freed block's page locked). An older library has
    // no unlock entry to call.
    struct Unlock {
        HandlerShare& handler;
        std::span<std::uint8_t> bytes;
        bool locked;
        ~Unlock() {
            if (locked) handler->unlock_memory(bytes);
        }
    } unlock{handler, bytes, locked && bound.version >= kUnlockVersion};
    after_lock(locked);
    handler->zero_memory(bytes);
    return locked;
}

}  // namespace ossara::detail
