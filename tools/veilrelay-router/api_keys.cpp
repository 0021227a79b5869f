#include "api_keys.hpp"

#include "text_file.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <stdexcept>
#include <string>

namespace veilrelay_router {

namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

ApiKeys::Digest ApiKeys::digest(std::string_view key) {
    Digest out{};
    unsigned int len = 0;
    if (EVP_Digest(key.data(), key.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size())
        throw std::runtime_error("SHA-256 failed");
    return out;
}

ApiKeys ApiKeys::load(const std::filesystem::path& file) {
    SecretText text = read_secret_file(file, kMaxFileSize);
    try {
        return from_text(text.view());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(file.string() + ": " + e.what());
    }
}

ApiKeys ApiKeys::from_text(std::string_view text) {
    ApiKeys keys;
    std::size_t line_no = 0;
    while (!text.empty()) {
        ++line_no;
        const std::size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        for (const char c : line)
            if (is_space(c) || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                throw std::runtime_error("line " + std::to_string(line_no) + " holds more than one key");
        keys.digests_.push_back(digest(line));
    }
    if (keys.digests_.empty()) throw std::runtime_error("no API key in the file");
    return keys;
}

bool ApiKeys::accepts(std::string_view presented) const {
    const Digest d = digest(presented);
    int matches = 0;
    for (const Digest& known : digests_) matches |= CRYPTO_memcmp(known.data(), d.data(), d.size()) == 0 ? 1 : 0;
    return matches != 0;
}

}  // namespace veilrelay_router
