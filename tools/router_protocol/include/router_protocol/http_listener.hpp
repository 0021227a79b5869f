#pragma once
// Starting a cpp-httplib server the way every server of ours needs it.
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace ossara::router_protocol {

// Binds `server` to host:port (port 0 picks a free one) with a listen backlog
// wide enough for many clients connecting at once (cpp-httplib's own is 5),
// runs its accept loop on `listener` and waits, bounded, until the loop runs
// (stop() only takes effect from then on). Returns the bound port, or -1 when
// the address cannot be bound; then nothing was started.
int listen_in_background(httplib::Server& server, const std::string& host, int port, std::thread& listener);

}  // namespace ossara::router_protocol
