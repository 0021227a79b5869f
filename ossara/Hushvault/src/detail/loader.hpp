#pragma once
// How the handler reaches the operating system's libraries: open a library by
// name, resolve a symbol, and read the error code the latest call left behind.
// The handler only ever talks to this interface, so tests can hand it libraries
// of their own and drive every backend path on any system.
#include "detail/page_locks.hpp"

#include <ossara/Hushvault.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace ossara::detail {

// Which error code a library's calls leave for the caller to read.
enum class ErrorCapture { none, c_errno, windows_last_error };

struct OpenedLibrary {
    void* handle = nullptr;  // null on failure
    std::string error;       // the loader's own message on failure
};

struct ResolvedSymbol {
    c_function function = nullptr;  // null on failure
    std::string error;
};

class Loader {
public:
    virtual ~Loader() = default;
    // Handles are never closed: bound functions stay valid for the process.
    virtual OpenedLibrary open(const std::string& name, ErrorCapture capture) = 0;
    virtual ResolvedSymbol resolve(void* library, const std::string& symbol) = 0;
    // The C errno left by the latest call of a bound function on this thread.
    virtual int last_errno() = 0;
    // The Windows last-error code left by the latest call on this thread.
    virtual std::uint32_t last_windows_error() = 0;

    // The records of the ranges locked through the functions this loader
    // bound. Handlers that share a loader share the records.
    PageLockTable& page_locks() noexcept { return _page_locks; }

private:
    PageLockTable _page_locks;
};

// The process's real loader (dlopen/dlsym, or LoadLibrary/GetProcAddress).
std::shared_ptr<Loader> system_loader();

// The operating-system identifier: "linux", "darwin", "win32", or another
// system's own lower-case name.
std::string system_platform();

}  // namespace ossara::detail
