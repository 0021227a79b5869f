#include "support/hostile_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace ossara::testing {

namespace {

constexpr int kPollMs = 50;

int listen_loopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

// Accepts the next connection, or -1 when `stopping` was set meanwhile.
int accept_next(int listener, const std::atomic<bool>& stopping) {
    while (!stopping.load()) {
        if (!readable(listener, kPollMs)) continue;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
    }
    return -1;
}

// The head up to the blank line plus a Content-Length body, or "" on silence or hang-up.
std::string read_request(int fd, const std::atomic<bool>& stopping) {
    std::string data;
    std::size_t wanted = std::string::npos;
    char buffer[16384];
    for (int idle = 0; idle < 40 && !stopping.load() && (wanted == std::string::npos || data.size() < wanted);) {
        if (!readable(fd, kPollMs)) {
            ++idle;
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return "";
        data.append(buffer, static_cast<std::size_t>(n));
        const std::size_t head_end = data.find("\r\n\r\n");
        if (wanted != std::string::npos || head_end == std::string::npos) continue;
        std::string head = data.substr(0, head_end);
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::size_t at = head.find("\r\ncontent-length:");
        wanted = head_end + 4 + (at == std::string::npos ? 0 : std::stoul(head.substr(at + 17)));
    }
    const std::size_t head_end = data.find("\r\n\r\n");
    return head_end == std::string::npos ? "" : data.substr(0, head_end + 4);
}

}  // namespace

HostileAnswer HostileAnswer::with_body(int status, std::string body, std::string extra_headers) {
    HostileAnswer a;
    a.head = "HTTP/1.1 " + std::to_string(status) + " Hostile\r\nContent-Type: application/json\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n" + extra_headers + "Connection: close\r\n\r\n";
    a.body = std::move(body);
    return a;
}

HostileAnswer HostileAnswer::endless_body(int status, std::string chunk) {
    HostileAnswer a;
    a.head = "HTTP/1.1 " + std::to_string(status) + " Hostile\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
    a.endless = std::move(chunk);
    return a;
}

HostilePeer::HostilePeer(HostileAnswer answer) : answer_(std::move(answer)) {
    fd_ = listen_loopback(port_);
    thread_ = std::thread([this] { serve(); });
}

HostilePeer::~HostilePeer() {
    stopping_ = true;
    thread_.join();
    ::close(fd_);
}

std::string HostilePeer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> HostilePeer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HostilePeer::posts() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(requests_.begin(), requests_.end(), [](const std::string& r) { return r.starts_with("POST "); }));
}

void HostilePeer::serve() {
    while (true) {
        const int fd = accept_next(fd_, stopping_);
        if (fd < 0) return;
        const std::string request = read_request(fd, stopping_);
        if (!request.empty()) {
            {
                const std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            answer(fd, request);
        }
        ::close(fd);
    }
}

// Waits until the socket takes more, the client hung up (false) or the peer stops (false).
bool HostilePeer::send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        if (stopping_.load()) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        if ((p.revents & (POLLERR | POLLHUP)) != 0) return false;
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void HostilePeer::answer(int fd, const std::string& request) {
    if (answer_.key_pem && request.starts_with("GET /pki/public_key ")) {
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                  std::to_string(answer_.key_pem->size()) + "\r\nConnection: close\r\n\r\n" +
                                  *answer_.key_pem;
        send_all(fd, reply.data(), reply.size());
        return;
    }
    if (!send_all(fd, answer_.head.data(), answer_.head.size())) return;
    if (answer_.drip.count() > 0) {
        for (const char c : answer_.body) {
            if (!send_all(fd, &c, 1)) return;
            ++bytes_sent_;
            for (auto waited = std::chrono::milliseconds(0); waited < answer_.drip && !stopping_.load();
                 waited += std::chrono::milliseconds(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } else {
        if (!send_all(fd, answer_.body.data(), answer_.body.size())) return;
        bytes_sent_ += answer_.body.size();
    }
    while (!answer_.endless.empty()) {
        if (!send_all(fd, answer_.endless.data(), answer_.endless.size())) return;
        bytes_sent_ += answer_.endless.size();
    }
}

ConnectProxy::ConnectProxy() {
    fd_ = listen_loopback(port_);
    thread_ = std::thread([this] { serve(); });
}

ConnectProxy::~ConnectProxy() {
    stopping_ = true;
    thread_.join();
    ::close(fd_);
}

std::string ConnectProxy::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ConnectProxy::targets() const {
    const std::lock_guard lock(mutex_);
    return targets_;
}

void ConnectProxy::serve() {
    while (true) {
        const int client = accept_next(fd_, stopping_);
        if (client < 0) return;
        tunnel(client);
        ::close(client);
    }
}

// "CONNECT 127.0.0.1:<port> HTTP/1.1", then bytes both ways until either side closes.
void ConnectProxy::tunnel(int client) {
    const std::string head = read_request(client, stopping_);
    if (!head.starts_with("CONNECT 127.0.0.1:")) {
        const std::string refusal = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)::send(client, refusal.data(), refusal.size(), MSG_NOSIGNAL);
        return;
    }
    const std::string target = head.substr(8, head.find(' ', 8) - 8);
    {
        const std::lock_guard lock(mutex_);
        targets_.push_back(target);
    }
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(target.substr(target.find(':') + 1))));
    if (upstream < 0 || ::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (upstream >= 0) ::close(upstream);
        const std::string failure = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)::send(client, failure.data(), failure.size(), MSG_NOSIGNAL);
        return;
    }
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    (void)::send(client, established.data(), established.size(), MSG_NOSIGNAL);
    char buffer[16384];
    while (!stopping_.load()) {
        pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(p, 2, kPollMs) <= 0) continue;
        bool open = true;
        for (int i = 0; i < 2 && open; ++i) {
            if (p[i].revents == 0) continue;
            const ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
            const int to = i == 0 ? upstream : client;
            open = n > 0 && ::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
        }
        if (!open) break;
    }
    ::close(upstream);
}

}  // namespace ossara::testing
