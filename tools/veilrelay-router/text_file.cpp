#include "text_file.hpp"

#include <openssl/crypto.h>

#include <fstream>
#include <stdexcept>

namespace veilrelay_router {

SecretText::~SecretText() {
    if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
}

std::string read_text_file(const std::filesystem::path& file, std::size_t limit) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::string text;
    // Read one byte past the limit so a file of exactly `limit` bytes passes.
    text.resize(limit + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (in.bad()) throw std::runtime_error("cannot read " + file.string());
    if (got > limit) {
        OPENSSL_cleanse(text.data(), text.size());
        throw std::runtime_error(file.string() + " is larger than " + std::to_string(limit) + " bytes");
    }
    text.resize(got);
    return text;
}

SecretText read_secret_file(const std::filesystem::path& file, std::size_t limit) {
    return SecretText(read_text_file(file, limit));
}

}  // namespace veilrelay_router
