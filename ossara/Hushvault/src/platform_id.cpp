#include "detail/loader.hpp"

#if !defined(_WIN32) && !defined(__APPLE__) && !defined(__linux__)
#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#endif

namespace ossara::detail {

std::string system_platform() {
#if defined(_WIN32)
    return "win32";
#elif defined(__APPLE__)
    return "darwin";
#elif defined(__linux__)
    return "linux";
#else
    // Any other system is reported under its own name and gets the fallback.
    struct utsname names {};
    if (::uname(&names) != 0) return "unknown";
    std::string name = names.sysname;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
#endif
}

}  // namespace ossara::detail
