#include "router_protocol/http_listener.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <stdexcept>

namespace ossara::router_protocol {

std::unique_ptr<httplib::Server> make_http_server(std::size_t worker_threads, const std::string& cert_file,
                                                  const std::string& key_file) {
    std::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<httplib::Server> server;
    if (cert_file.empty())
        server = std::make_unique<httplib::Server>();
    else
        server = std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str());
    if (!server->is_valid()) throw std::runtime_error("cannot load the TLS certificate or key");
    const std::size_t workers = std::max<std::size_t>(1, worker_threads);
    server->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    return server;
}

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
