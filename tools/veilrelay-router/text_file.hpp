#pragma once
// Reading the router's small configuration and key files: bounded in size,
// and for secrets (server key, API keys) wiped from memory once used.
#include <filesystem>
#include <string>
#include <string_view>

namespace veilrelay_router {

// Text read from a file that is wiped when it goes away.
class SecretText {
public:
    explicit SecretText(std::string text) : text_(std::move(text)) {}
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    ~SecretText();
    std::string_view view() const noexcept { return text_; }

private:
    std::string text_;
};

// The whole file; std::runtime_error naming the file when it cannot be read
// or is larger than `limit` bytes.
std::string read_text_file(const std::filesystem::path& file, std::size_t limit);
SecretText read_secret_file(const std::filesystem::path& file, std::size_t limit);

}  // namespace veilrelay_router
