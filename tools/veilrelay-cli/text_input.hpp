#pragma once
// Reading the texts the tool takes from files and from standard input.
#include <filesystem>
#include <istream>
#include <optional>
#include <string>

namespace veilrelay_cli {

// The whole file as bytes. A file that cannot be opened or read raises
// std::filesystem::filesystem_error naming the path.
std::string read_file(const std::filesystem::path& path);

// A secret kept in a file (API key, password): its first line without the
// line break and without surrounding blanks, so files written by
// `echo KEY > file` or by editors work alike. An empty secret is an InputError
// naming `what`.
std::string read_secret_file(const std::filesystem::path& path, const std::string& what);

// Everything until end of input.
std::string read_all(std::istream& in);

// Overwrites a string's characters before it is released.
void wipe(std::string& secret) noexcept;

// Wipes an optional secret when the scope ends, however it ends.
class WipeOnExit {
public:
    explicit WipeOnExit(std::optional<std::string>& secret) noexcept : secret_(secret) {}
    ~WipeOnExit() {
        if (secret_) wipe(*secret_);
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::optional<std::string>& secret_;
};

}  // namespace veilrelay_cli
