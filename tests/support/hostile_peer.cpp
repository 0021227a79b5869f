#include "support/hostile_peer.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace ossara::testing {

namespace {

using devrouter::LoopbackSocket;

constexpr int kPollMs = 50;

// Accepts the next connection, or an invalid socket when `stopping` was set meanwhile.
LoopbackSocket accept_next(const LoopbackSocket& listener, const std::atomic<bool>& stopping) {
    while (!stopping.load()) {
        if (!listener.wait_readable(kPollMs)) continue;
        if (LoopbackSocket connection = listener.accept(); connection.valid()) return connection;
    }
    return {};
}

// The head up to the blank line plus a Content-Length body, or "" on silence or hang-up.
std::string read_request(const LoopbackSocket& connection, const std::atomic<bool>& stopping) {
    std::string data;
    std::size_t wanted = std::string::npos;
    char buffer[16384];
    for (int idle = 0; idle < 40 && !stopping.load() && (wanted == std::string::npos || data.size() < wanted);) {
        if (!connection.wait_readable(kPollMs)) {
            ++idle;
            continue;
        }
        const long n = connection.receive(buffer, sizeof buffer);
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

HostilePeer::HostilePeer(HostileAnswer answer)
    : answer_(std::move(answer)), listener_(LoopbackSocket::bind_free_port(16)), port_(listener_.local_port()) {
    thread_ = std::thread([this] { serve(); });
}

HostilePeer::~HostilePeer() {
    stopping_ = true;
    thread_.join();
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
        const LoopbackSocket connection = accept_next(listener_, stopping_);
        if (!connection.valid()) return;
        const std::string request = read_request(connection, stopping_);
        if (!request.empty()) {
            {
                const std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            answer(connection, request);
        }
    }
}

// Waits until the socket takes more, the client hung up (false) or the peer stops (false).
bool HostilePeer::send_all(const LoopbackSocket& connection, const char* data, std::size_t size) {
    while (size > 0) {
        if (stopping_.load()) return false;
        const auto room = connection.wait_writable(kPollMs);
        if (room == LoopbackSocket::Room::gone) return false;
        if (room == LoopbackSocket::Room::timeout) continue;
        bool again = false;
        const long n = connection.send_some(data, size, &again);
        if (n < 0) {
            if (again) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void HostilePeer::answer(const LoopbackSocket& connection, const std::string& request) {
    if (answer_.key_pem && request.starts_with("GET /pki/public_key ")) {
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                  std::to_string(answer_.key_pem->size()) + "\r\nConnection: close\r\n\r\n" +
                                  *answer_.key_pem;
        send_all(connection, reply.data(), reply.size());
        return;
    }
    if (!send_all(connection, answer_.head.data(), answer_.head.size())) return;
    if (answer_.drip.count() > 0) {
        for (const char c : answer_.body) {
            if (!send_all(connection, &c, 1)) return;
            ++bytes_sent_;
            for (auto waited = std::chrono::milliseconds(0); waited < answer_.drip && !stopping_.load();
                 waited += std::chrono::milliseconds(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } else {
        if (!send_all(connection, answer_.body.data(), answer_.body.size())) return;
        bytes_sent_ += answer_.body.size();
    }
    while (!answer_.endless.empty()) {
        if (!send_all(connection, answer_.endless.data(), answer_.endless.size())) return;
        bytes_sent_ += answer_.endless.size();
    }
}

ConnectProxy::ConnectProxy() : listener_(LoopbackSocket::bind_free_port(16)), port_(listener_.local_port()) {
    thread_ = std::thread([this] { serve(); });
}

ConnectProxy::~ConnectProxy() {
    stopping_ = true;
    thread_.join();
}

std::string ConnectProxy::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ConnectProxy::targets() const {
    const std::lock_guard lock(mutex_);
    return targets_;
}

void ConnectProxy::serve() {
    while (true) {
        const LoopbackSocket client = accept_next(listener_, stopping_);
        if (!client.valid()) return;
        tunnel(client);
    }
}

// "CONNECT 127.0.0.1:<port> HTTP/1.1", then bytes both ways until either side closes.
void ConnectProxy::tunnel(const LoopbackSocket& client) {
    const std::string head = read_request(client, stopping_);
    if (!head.starts_with("CONNECT 127.0.0.1:")) {
        client.send_all("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    const std::string target = head.substr(8, head.find(' ', 8) - 8);
    {
        const std::lock_guard lock(mutex_);
        targets_.push_back(target);
    }
    const LoopbackSocket upstream = LoopbackSocket::connect_to(std::stoi(target.substr(target.find(':') + 1)));
    if (!upstream.valid()) {
        client.send_all("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    client.send_all("HTTP/1.1 200 Connection established\r\n\r\n");
    char buffer[16384];
    while (!stopping_.load()) {
        const int side = devrouter::wait_any_readable({&client, &upstream}, kPollMs);
        if (side < 0) continue;
        const LoopbackSocket& from = side == 0 ? client : upstream;
        const LoopbackSocket& to = side == 0 ? upstream : client;
        const long n = from.receive(buffer, sizeof buffer);
        if (n <= 0 || !to.send_all(std::string_view(buffer, static_cast<std::size_t>(n)))) break;
    }
}

}  // namespace ossara::testing
