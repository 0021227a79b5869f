#include "router_protocol/key_endpoint.hpp"

#include <httplib.h>

namespace ossara::router_protocol {

void serve_public_key(httplib::Server& server, const std::string& public_key_pem) {
    server.Get(kPublicKeyPath, [&public_key_pem](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_content(public_key_pem, "text/plain");
    });
}

}  // namespace ossara::router_protocol
