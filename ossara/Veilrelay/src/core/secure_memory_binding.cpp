// Run-time binding to libHushvault. The client does not link against it: the
// library is loaded from this library's own directory (or by its SONAME
// through the RUNPATH, on macOS through the rpath; on Windows by its DLL name
// through the DLL search order) and exactly two extern "C" entry points are
// resolved.
#include "core/secure_memory_binding.hpp"

#include "core/logging.hpp"

#include <ossara/hushvault_bridge.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

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

#ifdef _WIN32
using LibraryHandle = HMODULE;

// The DLL's file name, as the build names it.
constexpr const wchar_t* kHushvaultDll = L"" OSSARA_HUSHVAULT_DLL;

// The directory this DLL was loaded from, or empty when unknown. The module
// is looked up by an address inside it, without taking a reference on it.
std::filesystem::path own_directory() {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&secure_memory_available), &self))
        return {};
    // Paths may exceed MAX_PATH: grow the buffer until the name fits (a
    // truncated name fills the buffer exactly).
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        if (name.size() >= 32768) return {};  // longer than any Windows path
        name.resize(name.size() * 2);
    }
    return std::filesystem::path(name).parent_path();
}

LibraryHandle open_library() {
    const auto dir = own_directory();
    if (!dir.empty()) {
        // The altered search path lets the DLL's own dependencies be found
        // beside it too.
        if (HMODULE handle = ::LoadLibraryExW((dir / kHushvaultDll).c_str(), nullptr,
                                              LOAD_WITH_ALTERED_SEARCH_PATH))
            return handle;
    }
    return ::LoadLibraryW(kHushvaultDll);
}

template <typename Fn>
Fn find_symbol(LibraryHandle handle, const char* name) {
    // Through void(*)(), the one function-pointer type that converts to any
    // other without a cast-function-type warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(handle, name)));
}
#else
using LibraryHandle = void*;

// The directory this library was loaded from, or empty when unknown.
std::filesystem::path own_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&secure_memory_available), &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code ec;
    const auto path = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path() : path.parent_path();
}

LibraryHandle open_library() {
    const auto dir = own_directory();
    if (!dir.empty()) {
        if (void* handle = dlopen((dir / OSSARA_HUSHVAULT_SONAME).c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
    }
#if defined(__APPLE__)
    // Through this library's rpath: a bare name would also be looked for in
    // the working directory there.
    return dlopen("@rpath/" OSSARA_HUSHVAULT_SONAME, RTLD_NOW | RTLD_LOCAL);
#else
    return dlopen(OSSARA_HUSHVAULT_SONAME, RTLD_NOW | RTLD_LOCAL);
#endif
}

template <typename Fn>
Fn find_symbol(LibraryHandle handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}
#endif

Binding bind() {
    Binding binding;
    // The handle is never closed: the bound functions stay in use for the
    // life of the process.
    if (const LibraryHandle handle = open_library()) {
        binding.secure_bytearray =
            find_symbol<ossara_hushvault_secure_bytearray_fn>(handle, bridge::kSecureBytearraySymbol);
        binding.get_secure_memory =
            find_symbol<ossara_hushvault_get_secure_memory_fn>(handle, bridge::kGetSecureMemorySymbol);
        // A library older than the version entry point implements version 1.
        const auto version = find_symbol<ossara_hushvault_bridge_version_fn>(handle, bridge::kBridgeVersionSymbol);
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
