#include "support/test_data.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace ossara::testing {

// The one source that names the checkout's absolute path: the compilations
// of the others do not depend on where the tree is checked out, so ccache
// can reuse them for another checkout.
std::filesystem::path test_data_dir() { return OSSARA_TEST_DATA_DIR; }

std::string read_text_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::filesystem::path write_file(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
    return path;
}

const nlohmann::json& vectors() {
    static const nlohmann::json doc = nlohmann::json::parse(read_text_file(test_data_dir() / "vectors" / "packages.json"));
    return doc;
}

std::string vector_text(const std::string& name) { return vectors().at(name).get<std::string>(); }

void set_environment(const char* name, const std::string& value) {
#if defined(_WIN32)
    // The C runtime's copy and the process environment both change; an empty value removes it there.
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

void unset_environment(const char* name) {
#if defined(_WIN32)
    ::_putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("ossara-test-" + std::to_string(rd()) + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace ossara::testing
