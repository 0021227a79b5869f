// percent_decode of any X-Public-Key value: PackageError exactly when an
// escape is malformed ('%' without two hex digits after it); otherwise every
// escape became one byte and every other byte stayed as it was.
#include "fuzz_check.hpp"

#include <router_protocol/package_crypto.hpp>
#include <router_protocol/request_headers.hpp>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string expected;
    bool malformed = false;
    for (std::size_t i = 0; i < text.size() && !malformed; ++i) {
        if (text[i] != '%') {
            expected.push_back(text[i]);
        } else if (i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2])) {
            expected.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            malformed = true;
        }
    }
    try {
        const std::string decoded = ossara::router_protocol::percent_decode(text);
        OSSARA_FUZZ_CHECK(!malformed);
        OSSARA_FUZZ_CHECK(decoded == expected);
    } catch (const ossara::router_protocol::PackageError&) {
        OSSARA_FUZZ_CHECK(malformed);
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
    return 0;
}
