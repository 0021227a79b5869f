#include "text_input.hpp"

#include "exit_codes.hpp"

#include <openssl/crypto.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace veilrelay_cli {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int err = errno != 0 ? errno : ENOENT;
        throw std::filesystem::filesystem_error("cannot open file", path, std::error_code(err, std::generic_category()));
    }
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        throw std::filesystem::filesystem_error("cannot read file", path, std::make_error_code(std::errc::io_error));
    return content;
}

std::string read_secret_file(const std::filesystem::path& path, const std::string& what) {
    std::string content = read_file(path);
    const auto line_end = content.find_first_of("\r\n");
    std::string secret = content.substr(0, line_end);
    wipe(content);
    const auto first = secret.find_first_not_of(" \t");
    const auto last = secret.find_last_not_of(" \t");
    if (first == std::string::npos) {
        wipe(secret);
        throw InputError(what + " file '" + path.string() + "' is empty");
    }
    std::string trimmed = secret.substr(first, last - first + 1);
    wipe(secret);
    return trimmed;
}

std::string read_all(std::istream& in) {
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return std::move(buffer).str();
}

void wipe(std::string& secret) noexcept {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

}  // namespace veilrelay_cli
