#pragma once
// Windows' SO_REUSEADDR means something else than POSIX's: another socket of
// the same user that sets it may bind a port in use and take connections
// meant for its first owner. A server takes its port for itself alone.
#if defined(_WIN32)
#include <winsock2.h>

namespace ossara::http_server {

// false when Windows refuses (it does after SO_REUSEADDR on the same socket).
inline bool take_port_alone(SOCKET socket) {
    const BOOL exclusive = TRUE;
    return ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                        sizeof exclusive) == 0;
}

}  // namespace ossara::http_server
#endif
