#include "terminal.hpp"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace veilrelay_cli {

bool is_terminal(std::FILE* stream) noexcept {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) == 1;
#endif
}

}  // namespace veilrelay_cli
