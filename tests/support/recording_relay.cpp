#include "support/recording_relay.hpp"

#include "devrouter/loopback_socket.hpp"

#include <atomic>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ossara::testing {

using devrouter::LoopbackSocket;

namespace {
// How often the relay's loops look at their stop flag.
constexpr int kPollMs = 50;
}  // namespace

struct RecordingRelay::Impl {
    int target_port = 0;
    LoopbackSocket listener;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> connections{0};
    mutable std::mutex mutex;
    std::string upstream_bytes, downstream_bytes;
    std::vector<std::thread> threads;  // touched by the accept thread only, joined after it
    std::thread acceptor;

    void accept_loop() {
        while (!stopping.load()) {
            if (!listener.wait_readable(kPollMs)) continue;
            LoopbackSocket client = listener.accept();
            if (!client.valid()) continue;
            ++connections;
            threads.emplace_back([this, c = std::move(client)]() mutable { pump(std::move(c)); });
        }
    }

    void pump(LoopbackSocket client) {
        const LoopbackSocket server = LoopbackSocket::connect_to(target_port);
        if (!server.valid()) return;
        char buffer[16384];
        while (!stopping.load()) {
            const int side = devrouter::wait_any_readable({&client, &server}, kPollMs);
            if (side < 0) continue;
            const LoopbackSocket& from = side == 0 ? client : server;
            const LoopbackSocket& to = side == 0 ? server : client;
            const long n = from.receive(buffer, sizeof buffer);
            if (n <= 0) return;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                (side == 0 ? upstream_bytes : downstream_bytes).append(buffer, static_cast<std::size_t>(n));
            }
            if (!to.send_all(std::string_view(buffer, static_cast<std::size_t>(n)))) return;
        }
    }
};

RecordingRelay::RecordingRelay(int target_port) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.target_port = target_port;
    d.listener = LoopbackSocket::bind_free_port(512);
    d.port = d.listener.local_port();
    d.acceptor = std::thread([&d] { d.accept_loop(); });
}

RecordingRelay::~RecordingRelay() {
    Impl& d = *impl_;
    d.stopping = true;
    d.acceptor.join();
    for (auto& t : d.threads) t.join();
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
