#include "support/recording_relay.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace ossara::testing {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool send_all(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

struct RecordingRelay::Impl {
    int target_port;
    Fd listener;
    int wake[2] = {-1, -1};
    int port = 0;
    std::atomic<int> connections{0};
    mutable std::mutex mutex;
    std::string upstream_bytes, downstream_bytes;
    std::vector<std::thread> threads;  // touched by the accept thread only, joined after it
    std::thread acceptor;

    void accept_loop() {
        for (;;) {
            pollfd fds[2] = {{listener.get(), POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            Fd client(::accept(listener.get(), nullptr, nullptr));
            if (client.get() < 0) continue;
            ++connections;
            threads.emplace_back([this, c = std::move(client)]() mutable { pump(std::move(c)); });
        }
    }

    void pump(Fd client) {
        Fd server(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in addr = loopback(target_port);
        if (::connect(server.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return;
        char buffer[16384];
        for (;;) {
            pollfd fds[3] = {{client.get(), POLLIN, 0}, {server.get(), POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) continue;
            if (fds[2].revents != 0) return;
            for (int side = 0; side < 2; ++side) {
                if (fds[side].revents == 0) continue;
                const int from = side == 0 ? client.get() : server.get();
                const int to = side == 0 ? server.get() : client.get();
                const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                {
                    const std::lock_guard<std::mutex> lock(mutex);
                    (side == 0 ? upstream_bytes : downstream_bytes).append(buffer, static_cast<std::size_t>(n));
                }
                if (!send_all(to, buffer, static_cast<std::size_t>(n))) return;
            }
        }
    }
};

RecordingRelay::RecordingRelay(int target_port) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.target_port = target_port;
    if (::pipe(d.wake) != 0) throw std::runtime_error("pipe failed");
    d.listener = Fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (::bind(d.listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(d.listener.get(), SOMAXCONN) != 0 ||
        ::getsockname(d.listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("relay cannot listen");
    d.port = ntohs(addr.sin_port);
    d.acceptor = std::thread([&d] { d.accept_loop(); });
}

RecordingRelay::~RecordingRelay() {
    Impl& d = *impl_;
    (void)::write(d.wake[1], "x", 1);  // level-triggered: wakes every poll
    d.acceptor.join();
    for (auto& t : d.threads) t.join();
    ::close(d.wake[0]);
    ::close(d.wake[1]);
}

int RecordingRelay::port() const { return impl_->port; }
std::string RecordingRelay::base_url() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

std::string RecordingRelay::client_to_server() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->upstream_bytes;
}

std::string RecordingRelay::server_to_client() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->downstream_bytes;
}

int RecordingRelay::connections() const { return impl_->connections.load(); }

}  // namespace ossara::testing
