#pragma once
// Hushvault: secure memory for sensitive bytes.
//
// It locks the pages that hold secrets against being swapped to disk (mlock
// on Linux and macOS, VirtualLock on Windows) and overwrites them with zeros
// when they are no longer needed; where locking is impossible it falls back to
// zeroing alone. Every outcome is written to the spdlog logger
// "ossara.Hushvault" (default level warn, stderr); platform refusals never
// throw.
//
// The usual way in is the scoped guard:
//
//     std::vector<std::uint8_t> key = make_key();
//     {
//         ossara::secure_bytearray guard(key);   // copies, wipes `key`, locks
//         use(guard->data());                    // the protected copy
//     }                                          // zeroed, then unlocked
//
// Byte buffers (std::vector<std::uint8_t>&, std::span<std::uint8_t>, arrays
// of bytes, and vectors or strings handed over with std::move or as
// temporaries) are mutable and are wiped or zeroed in place; byte strings
// (std::span<const std::uint8_t>, std::string_view) are copied and left alone.
//
// Page locks nest: pages shared by several locked buffers stay locked until
// the last of them is unlocked or destroyed. On Linux, locked pages are also
// kept out of core dumps, and stay out after they are unlocked: the library
// cannot tell cheaply whether the application had excluded a page itself, so
// it never lets a page back in (madvise(MADV_DODUMP) does).

#include <nlohmann/json.hpp>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ossara {

namespace detail {
class Loader;
// A C entry point resolved from a loaded library, stored untyped; each call
// site casts it back to the signature declared for it.
using c_function = void (*)();

// A std::string handed over by value (a temporary or a std::move): the
// library wipes it. A string the caller keeps is read through std::string_view.
template <class S>
concept owned_string = std::same_as<S, std::string>;

// Thread cancellation and a guard. Where a cancelled thread unwinds its C++
// frames (Linux with GNU's C++ library), the unwinding runs the guard's
// destructor, and nothing is held. Where it does not (macOS: a cancelled
// thread runs its clean-up handlers and ends, destructors unrun) or where the
// unwinding cannot be told from an error (LLVM's C++ library), a guard holds
// off cancellation from the start of its construction to the end of its
// destructor: a cancellation requested meanwhile acts at the thread's first
// cancellation point after the copy was zeroed and unlocked. A guard is meant
// to be closed on the thread that opened it: one closed on another thread
// leaves the opening thread's cancellation held off, and gives the closing
// thread the state the opening one had.
class CancellationHold {
public:
    CancellationHold() noexcept;
    ~CancellationHold();
    CancellationHold(const CancellationHold&) = delete;
    CancellationHold& operator=(const CancellationHold&) = delete;

private:
    int _previous = 0;
    bool _held = false;
};

// The caller's own bytes of a string it handed over, to be wiped.
inline std::span<std::uint8_t> writable_bytes(std::string& text) noexcept {
    return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}
}  // namespace detail

/// Memory protection levels available.
enum class MemoryProtectionLevel { NONE, ZEROING_ONLY, FULL };

/// The level's value string: "none", "zeroing_only" or "full".
constexpr std::string_view value(MemoryProtectionLevel level) noexcept {
    switch (level) {
        case MemoryProtectionLevel::ZEROING_ONLY: return "zeroing_only";
        case MemoryProtectionLevel::FULL: return "full";
        case MemoryProtectionLevel::NONE: break;
    }
    return "none";
}

class SecureBuffer;

/// The secure-memory handler. Its capabilities are settled once by the
/// constructor (platform detection and backend binding) and are read-only
/// afterwards, so one handler may be shared between threads.
///
/// Handlers are shared objects: create them with std::make_shared, because a
/// SecureBuffer keeps its handler alive (create_secure_buffer on a handler not
/// owned by a std::shared_ptr throws std::bad_weak_ptr).
class Hushvault : public std::enable_shared_from_this<Hushvault> {
public:
    /// Detects the operating system and binds its backend; with enable false
    /// nothing is loaded and every operation is a no-op.
    explicit Hushvault(bool enable = true);

    /// Internal: the same construction for an explicit operating-system
    /// identifier and library loader (used to exercise every backend).
    Hushvault(std::string platform, std::shared_ptr<detail::Loader> loader, bool enable = true);

    Hushvault(const Hushvault&) = delete;
    Hushvault& operator=(const Hushvault&) = delete;
    ~Hushvault();

    bool enabled() const noexcept { return _enabled; }
    const std::string& platform() const noexcept { return _platform; }
    bool has_mlock() const noexcept { return _has_mlock; }
    bool has_secure_zero() const noexcept { return _has_secure_zero; }
    MemoryProtectionLevel protection_level() const noexcept { return _protection_level; }
    std::size_t page_size() const noexcept { return _page_size; }
    /// Whether locked pages are also kept out of core dumps (Linux).
    bool excludes_from_core_dumps() const noexcept { return _excludes_from_core_dumps; }

    // Address-range layer. The range must be memory the caller owns and may
    // write for the whole call; it is not validated.
    //
    // Page locks nest: the handler records every range it locked (one record
    // for all handlers of the process). Every lock asks the platform, so a
    // lock that succeeds is held by the kernel; an unlock hands the platform
    // only the pages that no other recorded range holds, so unlocking one
    // buffer (or a range that was never locked) never unlocks the pages of
    // another. Pages that nobody holds are handed to the platform's unlock as
    // asked.

    /// Widens [addr, addr + size) to whole pages: (aligned_addr, aligned_size).
    std::pair<std::uintptr_t, std::size_t> _get_page_aligned_range(std::uintptr_t addr, std::size_t size) const;
    /// Locks the pages holding the range; false when refused or unavailable.
    bool _lock_memory_at(std::uintptr_t addr, std::size_t size) const;
    /// Unlocks the pages holding the range; false when refused or unavailable.
    bool _unlock_memory_at(std::uintptr_t addr, std::size_t size) const;
    /// Overwrites exactly the range with zeros; never reports failure.
    void _zero_memory_at(std::uintptr_t addr, std::size_t size) const;

    // Buffer layer: byte buffers only (a const buffer does not compile).

    /// A new, unlocked SecureBuffer holding a copy of `data`; a byte-buffer
    /// source is wiped after the copy (a vector or string handed over as a
    /// temporary or with std::move included), a byte-string source is left
    /// alone.
    SecureBuffer create_secure_buffer(std::vector<std::uint8_t>& data);
    SecureBuffer create_secure_buffer(std::vector<std::uint8_t>&& data);
    SecureBuffer create_secure_buffer(std::span<std::uint8_t> data);
    template <std::size_t N>
    SecureBuffer create_secure_buffer(std::array<std::uint8_t, N>& data);
    template <std::size_t N>
    SecureBuffer create_secure_buffer(std::array<std::uint8_t, N>&& data);
    template <std::size_t N>
    SecureBuffer create_secure_buffer(std::uint8_t (&data)[N]);
    template <detail::owned_string S>
    SecureBuffer create_secure_buffer(S&& data);
    SecureBuffer create_secure_buffer(std::span<const std::uint8_t> data);
    SecureBuffer create_secure_buffer(std::string_view data);
    /// Locks the pages holding `data`; true on success.
    bool lock_memory(std::span<std::uint8_t> data) const;
    /// Unlocks the pages holding `data`; pages that other locked ranges hold
    /// stay locked, so unlocking a range never locked here leaves them alone.
    bool unlock_memory(std::span<std::uint8_t> data) const;
    /// Zeroes `data` in place (through the backend, then element by element).
    void zero_memory(std::span<std::uint8_t> data) const;

    /// A new object: enabled, platform, protection_level, has_memory_locking,
    /// has_secure_zeroing, supports_full_protection, page_size,
    /// excludes_from_core_dumps.
    nlohmann::ordered_json get_protection_info() const;

private:
    friend class SecureBuffer;

    void _init_platform_specific();
    void _init_linux();
    void _init_windows();
    void _init_macos();
    void _init_fallback();
    void _log_capabilities() const;

    // The mlock/memset backend shared by Linux and macOS.
    void _init_posix(const char* library, std::string_view os_name);
    void _bind_core_dump_exclusion();
    bool _is_posix_class() const noexcept;
    bool _is_windows_class() const noexcept;
    // Unlock without any log line (used when a SecureBuffer is destroyed).
    bool _unlock_pages(std::uintptr_t addr, std::size_t size, bool log_outcome) const;
    // One platform call on a page-aligned range, no counting, no log line.
    bool _platform_lock(std::uintptr_t addr, std::size_t size) const;
    bool _platform_unlock(std::uintptr_t addr, std::size_t size) const;
    void _exclude_from_dumps(std::uintptr_t addr, std::size_t size) const;
    // Recorded locking and unlocking of the caller's range [addr, addr + size)
    // over its pages; a refused lock leaves the platform's error code in
    // `refusal`.
    bool _acquire_pages(std::uintptr_t addr, std::size_t size, std::uintptr_t aligned_addr, std::size_t aligned_size,
                        std::optional<long long>& refusal) const;
    bool _release_pages(std::uintptr_t addr, std::size_t size, std::uintptr_t aligned_addr,
                        std::size_t aligned_size) const;
    class page_calls;  // the bound functions as the page-lock records call them
    void _log_lock_refusal(long long error) const;

    bool _enabled;
    std::string _platform;
    bool _has_mlock = false;
    bool _has_secure_zero = false;
    MemoryProtectionLevel _protection_level = MemoryProtectionLevel::NONE;
    std::size_t _page_size = 4096;
    detail::c_function _mlock_func = nullptr;
    detail::c_function _munlock_func = nullptr;
    detail::c_function _memset_func = nullptr;
    detail::c_function _madvise_func = nullptr;  // Linux: keeps locked pages out of core dumps
    bool _excludes_from_core_dumps = false;
    void* _libc = nullptr;  // never released: bound functions live as long as the process
    bool _windows_zero_is_rtlzero = false;
    std::shared_ptr<detail::Loader> _loader;  // reads errno / last error after a call
};

/// A protected copy of sensitive bytes: a buffer of its own, fixed in size and
/// address for its whole life, locked, unlocked and zeroed through the handler
/// it was created with (which it keeps alive). Not copyable, not movable.
///
/// As a scoped guard, enter() locks it and exit() zeroes then unlocks it; the
/// Scope helper does both for a C++ scope. A buffer that is merely destroyed
/// still wipes its bytes and unlocks pages it holds locked, silently.
class SecureBuffer {
public:
    /// Copies a byte buffer, then overwrites the source with zeros.
    SecureBuffer(std::vector<std::uint8_t>& data, std::shared_ptr<Hushvault> secure_memory);
    SecureBuffer(std::span<std::uint8_t> data, std::shared_ptr<Hushvault> secure_memory);
    /// A vector or string handed over (a temporary, or with std::move) and
    /// arrays of bytes are byte buffers too: copied, then overwritten with
    /// zeros before their storage can be released.
    SecureBuffer(std::vector<std::uint8_t>&& data, std::shared_ptr<Hushvault> secure_memory);
    template <std::size_t N>
    SecureBuffer(std::array<std::uint8_t, N>& data, std::shared_ptr<Hushvault> secure_memory)
        : SecureBuffer(std::span<std::uint8_t>(data), std::move(secure_memory)) {}
    template <std::size_t N>
    SecureBuffer(std::array<std::uint8_t, N>&& data, std::shared_ptr<Hushvault> secure_memory)
        : SecureBuffer(std::span<std::uint8_t>(data), std::move(secure_memory)) {}
    template <std::size_t N>
    SecureBuffer(std::uint8_t (&data)[N], std::shared_ptr<Hushvault> secure_memory)
        : SecureBuffer(std::span<std::uint8_t>(data), std::move(secure_memory)) {}
    template <detail::owned_string S>
    SecureBuffer(S&& data, std::shared_ptr<Hushvault> secure_memory)
        : SecureBuffer(detail::writable_bytes(data), std::move(secure_memory)) {}
    /// Copies a byte string; the source is left unchanged.
    SecureBuffer(std::span<const std::uint8_t> data, std::shared_ptr<Hushvault> secure_memory);
    SecureBuffer(std::string_view data, std::shared_ptr<Hushvault> secure_memory);

    SecureBuffer(const SecureBuffer&) = delete;
    SecureBuffer& operator=(const SecureBuffer&) = delete;
    ~SecureBuffer();

    /// The protected bytes themselves (not a copy): writes change them.
    std::span<std::uint8_t> data() noexcept { return _ctypes_buffer; }
    std::span<const std::uint8_t> data() const noexcept { return _ctypes_buffer; }
    std::uintptr_t address() const noexcept { return _address; }
    std::size_t size() const noexcept { return _size; }
    std::size_t length() const noexcept { return _size; }
    bool locked() const noexcept { return _locked; }
    const std::shared_ptr<Hushvault>& secure_memory() const noexcept { return _secure_memory; }

    /// Locks the buffer's pages; returns whether the buffer is locked now.
    bool lock();
    /// Unlocks if locked; true when the buffer is unlocked afterwards.
    bool unlock();
    /// Overwrites the bytes with zeros, whatever the handler can do.
    void zero();

    /// Scoped-guard entry: lock() (its result ignored); returns *this.
    SecureBuffer& enter();
    /// Scoped-guard exit: zero(), then unlock().
    void exit() noexcept;

    /// A copy of the current contents. Use with caution: the copy is outside
    /// the buffer's protection and is never locked or zeroed by it.
    std::vector<std::uint8_t> to_bytes() const;

    /// Enters the buffer's scoped guard for a C++ scope.
    class Scope {
    public:
        explicit Scope(SecureBuffer& buffer) : _buffer(buffer.enter()) {}
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() { _buffer.exit(); }
        SecureBuffer& operator*() const noexcept { return _buffer; }
        SecureBuffer* operator->() const noexcept { return &_buffer; }

    private:
        SecureBuffer& _buffer;
    };

private:
    SecureBuffer(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> wipe_source,
                 std::shared_ptr<Hushvault> secure_memory);

    std::shared_ptr<Hushvault> _secure_memory;
    bool _locked = false;
    std::size_t _size;
    std::vector<std::uint8_t> _data;
    std::span<std::uint8_t> _ctypes_buffer;  // pins _data: never resized while the buffer lives
    std::uintptr_t _address;
};

template <std::size_t N>
SecureBuffer Hushvault::create_secure_buffer(std::array<std::uint8_t, N>& data) {
    return SecureBuffer(data, shared_from_this());
}

template <std::size_t N>
SecureBuffer Hushvault::create_secure_buffer(std::array<std::uint8_t, N>&& data) {
    return SecureBuffer(data, shared_from_this());
}

template <std::size_t N>
SecureBuffer Hushvault::create_secure_buffer(std::uint8_t (&data)[N]) {
    return SecureBuffer(data, shared_from_this());
}

template <detail::owned_string S>
SecureBuffer Hushvault::create_secure_buffer(S&& data) {
    return SecureBuffer(detail::writable_bytes(data), shared_from_this());
}

/// The process-wide handler, created (enabled) on first use.
std::shared_ptr<Hushvault> _get_secure_memory();
/// get_protection_info() of the process-wide handler.
nlohmann::ordered_json get_memory_protection_info();
/// Replaces the process-wide handler with a new enabled one.
void enable_secure_memory();
/// Replaces the process-wide handler with a new disabled one.
void disable_secure_memory();

/// Scoped secure buffer: construction copies `data` into a SecureBuffer of the
/// process-wide handler (wiping a byte-buffer source) and locks it if `lock`;
/// destruction zeroes it, then unlocks it. Guards that are open keep the
/// handler they started with when the process-wide handler is replaced.
class secure_bytearray {
public:
    explicit secure_bytearray(std::vector<std::uint8_t>& data, bool lock = true);
    explicit secure_bytearray(std::span<std::uint8_t> data, bool lock = true);
    /// A vector or string handed over and arrays of bytes: wiped like any
    /// byte buffer, before their storage can be released.
    explicit secure_bytearray(std::vector<std::uint8_t>&& data, bool lock = true);
    template <std::size_t N>
    explicit secure_bytearray(std::array<std::uint8_t, N>& data, bool lock = true)
        : secure_bytearray(std::span<std::uint8_t>(data), lock) {}
    template <std::size_t N>
    explicit secure_bytearray(std::array<std::uint8_t, N>&& data, bool lock = true)
        : secure_bytearray(std::span<std::uint8_t>(data), lock) {}
    template <std::size_t N>
    explicit secure_bytearray(std::uint8_t (&data)[N], bool lock = true)
        : secure_bytearray(std::span<std::uint8_t>(data), lock) {}
    template <detail::owned_string S>
    explicit secure_bytearray(S&& data, bool lock = true)
        : secure_bytearray(detail::writable_bytes(data), lock) {}
    explicit secure_bytearray(std::span<const std::uint8_t> data, bool lock = true);
    explicit secure_bytearray(std::string_view data, bool lock = true);

    secure_bytearray(const secure_bytearray&) = delete;
    secure_bytearray& operator=(const secure_bytearray&) = delete;
    ~secure_bytearray();

    /// The guard's SecureBuffer.
    SecureBuffer& get() noexcept { return _secure_buf; }
    SecureBuffer& operator*() noexcept { return _secure_buf; }
    SecureBuffer* operator->() noexcept { return &_secure_buf; }
    /// The lock attempt's result; empty when locking was not requested.
    std::optional<bool> locked() const noexcept { return _locked_result; }

private:
    void _enter();
    void _leave();

    detail::CancellationHold _cancel_hold;  // first: held through every other member's life
    bool _lock;
    std::shared_ptr<Hushvault> _sm;
    SecureBuffer _secure_buf;
    std::optional<bool> _locked_result;
};

/// Deprecated guard kept for old callers: logs a warning on every entry, then
/// behaves as secure_bytearray. The caller's original bytes are not zeroed.
class secure_bytes {
public:
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::span<const std::uint8_t> data,
                                                                          bool lock = true);
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::string_view data, bool lock = true);
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::vector<std::uint8_t>& data,
                                                                          bool lock = true);
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::span<std::uint8_t> data,
                                                                          bool lock = true);
    /// Sources handed over and arrays of bytes are wiped as secure_bytearray
    /// wipes them.
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::vector<std::uint8_t>&& data,
                                                                          bool lock = true);
    template <std::size_t N>
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::array<std::uint8_t, N>& data,
                                                                          bool lock = true) {
        _warn();
        _inner.emplace(data, lock);
    }
    template <std::size_t N>
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::array<std::uint8_t, N>&& data,
                                                                          bool lock = true) {
        _warn();
        _inner.emplace(std::move(data), lock);
    }
    template <std::size_t N>
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(std::uint8_t (&data)[N], bool lock = true) {
        _warn();
        _inner.emplace(data, lock);
    }
    template <detail::owned_string S>
    [[deprecated("Use secure_bytearray() instead")]] explicit secure_bytes(S&& data, bool lock = true) {
        _warn();
        _inner.emplace(std::move(data), lock);
    }

    secure_bytes(const secure_bytes&) = delete;
    secure_bytes& operator=(const secure_bytes&) = delete;

    SecureBuffer& get() noexcept { return _inner->get(); }
    SecureBuffer& operator*() noexcept { return _inner->get(); }
    SecureBuffer* operator->() noexcept { return &_inner->get(); }

private:
    static void _warn();
    std::optional<secure_bytearray> _inner;
};

}  // namespace ossara
