#pragma once
// The API keys a router accepts, read from a file with one key per line.
// Keys are kept only as SHA-256 digests and every check compares the
// presented key's digest with all of them in constant time, so neither the
// time taken nor an early exit tells how much of a key was right.
#include <array>
#include <filesystem>
#include <string_view>
#include <vector>

namespace veilrelay_router {

class ApiKeys {
public:
    // Blank lines and surrounding whitespace are ignored; a line may not hold
    // whitespace inside the key. std::runtime_error when the file cannot be
    // read, holds no key, or is too large for a key list.
    static ApiKeys load(const std::filesystem::path& file);
    static ApiKeys from_text(std::string_view text);

    bool accepts(std::string_view presented) const;
    std::size_t size() const noexcept { return digests_.size(); }

private:
    using Digest = std::array<unsigned char, 32>;
    static Digest digest(std::string_view key);
    std::vector<Digest> digests_;
};

}  // namespace veilrelay_router
