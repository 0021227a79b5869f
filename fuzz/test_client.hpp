#pragma once
// A client holding the published test client key, for the harnesses that
// decrypt: load_keys reads a path, so the key goes through a temporary file.
#include "fuzz_check.hpp"

#include <ossara/Veilrelay.hpp>

#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace ossara::fuzz {

inline std::unique_ptr<Veilrelay> make_test_client() {
    std::ifstream vectors_file(OSSARA_VECTORS_FILE);
    std::stringstream text;
    text << vectors_file.rdbuf();
    const auto vectors = nlohmann::json::parse(text.str());

    char path[] = "/tmp/ossara-fuzz-key-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) fail("mkstemp");
    close(fd);
    std::ofstream(path) << vectors["client_private_key_pem"].get<std::string>();
    set_warning_handler([](auto, auto, const auto&) {});
    auto client = std::make_unique<Veilrelay>("https://router.invalid");
    client->load_keys(path);
    unlink(path);
    return client;
}

}  // namespace ossara::fuzz
