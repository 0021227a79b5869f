#include "devrouter/test_servers.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace ossara::devrouter {

namespace {

std::system_error os_error(const char* what) { return std::system_error(errno, std::generic_category(), what); }

// A TCP socket bound to 127.0.0.1 on a free port; returns the fd, sets `port`.
int bind_loopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw os_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const auto error = os_error("bind");
        ::close(fd);
        throw error;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

std::string loopback_url(int port) { return "http://127.0.0.1:" + std::to_string(port); }

// Reads one request: the head up to the blank line and a Content-Length body.
// Gives up after two seconds of silence.
std::string read_request(int fd) {
    std::string data;
    std::size_t wanted = std::string::npos;
    char buffer[4096];
    while (wanted == std::string::npos || data.size() < wanted) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
        if (wanted != std::string::npos) continue;
        const std::size_t head_end = data.find("\r\n\r\n");
        if (head_end == std::string::npos) continue;
        std::size_t body = 0;
        std::string head = data.substr(0, head_end);
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (const std::size_t at = head.find("\r\ncontent-length:"); at != std::string::npos)
            body = std::stoul(head.substr(at + 17));
        wanted = head_end + 4 + body;
    }
    return data;
}

}  // namespace

SilentListener::SilentListener() {
    fd_ = bind_loopback(port_);
    if (::listen(fd_, 512) != 0) {
        const auto error = os_error("listen");
        ::close(fd_);
        throw error;
    }
}

SilentListener::~SilentListener() { ::close(fd_); }

std::string SilentListener::base_url() const { return loopback_url(port_); }

int closed_port() {
    int port = 0;
    ::close(bind_loopback(port));
    return port;
}

RawResponder::RawResponder(std::string response, bool reset) : response_(std::move(response)), reset_(reset) {
    fd_ = bind_loopback(port_);
    if (::listen(fd_, 64) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        const auto error = os_error("listen");
        ::close(fd_);
        throw error;
    }
    thread_ = std::thread([this] { serve(); });
}

RawResponder::~RawResponder() {
    const char stop = 's';
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &stop, 1);
    thread_.join();
    ::close(fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string RawResponder::base_url() const { return loopback_url(port_); }

std::vector<std::string> RawResponder::requests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void RawResponder::serve() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        ++connections_;
        std::string request = read_request(conn);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(std::move(request));
        }
        std::size_t sent = 0;
        while (sent < response_.size()) {
            const ssize_t n = ::send(conn, response_.data() + sent, response_.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        if (reset_) {
            // Linger with a zero timeout: close() sends RST instead of FIN.
            const linger abort_on_close{1, 0};
            ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        }
        ::close(conn);
    }
}

}  // namespace ossara::devrouter
