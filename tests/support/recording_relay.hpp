#pragma once
// A raw TCP peer between a client and a server on 127.0.0.1: it forwards
// every byte unchanged in both directions and keeps a copy of what passed,
// so tests can check what someone on the path would see.
#include <memory>
#include <string>

namespace ossara::testing {

class RecordingRelay {
public:
    explicit RecordingRelay(int target_port);
    ~RecordingRelay();  // stops, closing every connection
    RecordingRelay(const RecordingRelay&) = delete;
    RecordingRelay& operator=(const RecordingRelay&) = delete;

    int port() const;
    std::string base_url() const;  // "http://127.0.0.1:<port>"
    std::string client_to_server() const;
    std::string server_to_client() const;
    int connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ossara::testing
