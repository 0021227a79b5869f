#pragma once
// Locations of the checked-in test data and small file helpers for tests.
#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <string>
#include <string_view>

namespace ossara::testing {

// tests/data of the source tree.
std::filesystem::path test_data_dir();

std::string read_text_file(const std::filesystem::path& path);

// Writes `text` to `path` byte for byte, replacing what was there; returns
// the path. std::runtime_error when the file cannot be written.
std::filesystem::path write_file(const std::filesystem::path& path, std::string_view text);

// The published vectors (vectors/packages.json: the key pairs, packages and
// answers of an independent implementation), read once per process.
const nlohmann::json& vectors();
// One of their text members, e.g. "client_private_key_pem".
std::string vector_text(const std::string& name);

// Sets or removes a variable of this process's environment (where libcurl
// and the library read it on every platform).
void set_environment(const char* name, const std::string& value);
void unset_environment(const char* name);

// A fresh directory under the system temp dir, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace ossara::testing
