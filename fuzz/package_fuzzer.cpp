// A received response package through the whole reading path of the client:
// acceptance checks, key unwrap with the published test client key, GCM
// decryption, plaintext parsing and _metadata. Whatever the body, the call
// ends in an answer object or one of the typed errors it is documented to
// raise (ValueError, SecurityError, TypeError); nothing else escapes.
#include "fuzz_check.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::unique_ptr<ossara::Veilrelay> client;

// Loads the published test client key through a temporary PEM file, as load_keys reads a path.
void load_test_client() {
    std::ifstream vectors_file(OSSARA_VECTORS_FILE);
    std::stringstream text;
    text << vectors_file.rdbuf();
    const auto vectors = nlohmann::json::parse(text.str());

    char path[] = "/tmp/ossara-fuzz-key-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) ossara::fuzz::fail("mkstemp");
    close(fd);
    std::ofstream(path) << vectors["client_private_key_pem"].get<std::string>();
    ossara::set_warning_handler([](auto, auto, const auto&) {});
    client = std::make_unique<ossara::Veilrelay>("https://router.invalid");
    client->load_keys(path);
    unlink(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    load_test_client();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    asio::io_context io;
    std::exception_ptr failure;
    bool answered = false;
    asio::co_spawn(io, client->decrypt_response(std::vector<std::uint8_t>(data, data + size), "fuzz"),
                   [&](std::exception_ptr error, ossara::json answer) {
                       failure = error;
                       if (!error) {
                           answered = true;
                           OSSARA_FUZZ_CHECK(answer.is_object());
                           OSSARA_FUZZ_CHECK(answer.contains("_metadata"));
                           OSSARA_FUZZ_CHECK(answer["_metadata"]["payload_id"] == "fuzz");
                           OSSARA_FUZZ_CHECK(answer["_metadata"]["is_encrypted"] == true);
                       }
                   });
    io.run();
    if (answered) return 0;
    if (!failure) ossara::fuzz::fail("decrypt_response neither answered nor failed");
    try {
        std::rethrow_exception(failure);
    } catch (const ossara::ValueError&) {
    } catch (const ossara::SecurityError&) {
    } catch (const ossara::TypeError&) {
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
    return 0;
}
