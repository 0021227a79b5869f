#include "support/test_data.hpp"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace ossara::testing {

std::string read_text_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
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
