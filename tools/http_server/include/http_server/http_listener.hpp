#pragma once
// Starting a cpp-httplib server the way every server of ours needs it.
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace ossara::http_server {

// A server whose requests run on `worker_threads` threads (at least one),
// over TLS when `cert_file` is not empty. Ignores SIGPIPE for the process
// (where there is one): a client that gives up closes its end while we may
// still be writing.
// std::runtime_error when the certificate or key cannot be loaded.
std::unique_ptr<httplib::Server> make_http_server(std::size_t worker_threads, const std::string& cert_file = {},
                                                  const std::string& key_file = {});

// Binds `server` to host:port (port 0 picks a free one) with a listen backlog
// wide enough for many clients connecting at once (cpp-httplib's own is 5),
// runs its accept loop on `listener` and returns once the loop runs (its
// worker threads exist). Returns the bound port, or -1 when the address
// cannot be bound; then nothing was started.
int listen_in_background(httplib::Server& server, const std::string& host, int port, std::thread& listener);

// Stops `server` (listening on `port`) from accepting connections while every
// connection it has accepted is still served: requests already sent on them
// get their answers, and each ends at its keep-alive limits. The listener
// thread ends once they all have; join it. cpp-httplib's own stop() instead
// closes accepted connections whose first request was not read yet.
void stop_accepting(httplib::Server& server, int port);

}  // namespace ossara::http_server
