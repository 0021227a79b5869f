#include "devrouter/test_servers.hpp"

#include <cctype>
#include <string>

namespace ossara::devrouter {

namespace {

using devrouter::LoopbackSocket;

// How often the serving loop looks at its stop flag.
constexpr int kPollMs = 50;

std::string loopback_url(int port) { return "http://127.0.0.1:" + std::to_string(port); }

// Reads one request: the head up to the blank line and a Content-Length body.
// Gives up after two seconds of silence.
std::string read_request(const LoopbackSocket& connection) {
    std::string data;
    std::size_t wanted = std::string::npos;
    char buffer[4096];
    while (wanted == std::string::npos || data.size() < wanted) {
        if (!connection.wait_readable(2000)) break;
        const long n = connection.receive(buffer, sizeof buffer);
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

SilentListener::SilentListener() : socket_(LoopbackSocket::bind_free_port(512)), port_(socket_.local_port()) {}

SilentListener::~SilentListener() = default;

std::string SilentListener::base_url() const { return loopback_url(port_); }

ClosedPort::ClosedPort() : socket_(LoopbackSocket::bind_free_port(-1)), port_(socket_.local_port()) {}

std::string ClosedPort::base_url() const { return loopback_url(port_); }

RawResponder::RawResponder(std::string response, bool reset)
    : response_(std::move(response)), reset_(reset), socket_(LoopbackSocket::bind_free_port(64)),
      port_(socket_.local_port()) {
    thread_ = std::thread([this] { serve(); });
}

RawResponder::~RawResponder() {
    stopping_ = true;
    thread_.join();
}

std::string RawResponder::base_url() const { return loopback_url(port_); }

std::vector<std::string> RawResponder::requests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void RawResponder::serve() {
    while (!stopping_.load()) {
        if (!socket_.wait_readable(kPollMs)) continue;
        LoopbackSocket connection = socket_.accept();
        if (!connection.valid()) continue;
        ++connections_;
        std::string request = read_request(connection);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(std::move(request));
        }
        connection.send_all(response_);
        if (reset_) connection.abort_on_close();
    }
}

}  // namespace ossara::devrouter
