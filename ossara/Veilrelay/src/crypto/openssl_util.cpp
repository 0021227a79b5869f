#include "crypto/openssl_util.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/err.h>

#include <climits>
#include <stdexcept>

namespace ossara::detail {

std::string openssl_error_text(const std::string& fallback) {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text.empty() ? fallback : text;
}

BioPtr memory_bio(const void* bytes, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) throw ValueError("input too large");
    BioPtr bio(BIO_new_mem_buf(bytes, static_cast<int>(size)));
    if (!bio) throw std::runtime_error("BIO_new_mem_buf failed: " + openssl_error_text());
    return bio;
}

std::string bio_contents(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    if (size <= 0 || data == nullptr) return {};
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace ossara::detail
