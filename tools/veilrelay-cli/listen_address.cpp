#include "listen_address.hpp"

#include "exit_codes.hpp"

#include <asio/ip/address.hpp>

#include <charconv>

namespace veilrelay_cli {

ListenAddress parse_listen_address(std::string_view text) {
    const auto bad = [&text] {
        return UsageError("--listen wants ADDRESS:PORT (e.g. 127.0.0.1:8088), not '" + std::string(text) + "'");
    };
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) throw bad();
    std::string_view host = text.substr(0, colon);
    const std::string_view port_text = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') throw bad();
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        throw bad();  // an IPv6 address needs brackets
    }
    int port = -1;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 0 || port > 65535) throw bad();
    return {std::string(host), port};
}

bool is_loopback(std::string_view host) {
    if (host == "localhost") return true;
    // 127.0.0.0/8 and ::1; anything that is not an address literal is not.
    std::error_code ec;
    const asio::ip::address address = asio::ip::make_address(std::string(host), ec);
    return !ec && address.is_loopback();
}

std::string ListenAddress::url(int bound_port) const {
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound_port);
}

}  // namespace veilrelay_cli
