#include "router_protocol/http_listener.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>

namespace ossara::router_protocol {

int listen_in_background(httplib::Server& server, const std::string& host, int port, std::thread& listener) {
    int listen_fd = -1;
    server.set_socket_options([&listen_fd](socket_t sock) {
        httplib::default_socket_options(sock);
        listen_fd = sock;
    });
    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    // The callback above refers to this frame: hand the server the plain one again.
    server.set_socket_options(httplib::default_socket_options);
    if (bound <= 0) return -1;
    // listen() on a listening socket only changes its backlog.
    if (listen_fd >= 0) ::listen(listen_fd, SOMAXCONN);
    listener = std::thread([&server] { server.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bound;
}

}  // namespace ossara::router_protocol
