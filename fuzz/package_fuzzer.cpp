// A received response package through the whole reading path of the client:
// acceptance checks, key unwrap with the published test client key, GCM
// decryption, plaintext parsing and _metadata. Whatever the body, the call
// ends in an answer object or one of the typed errors it is documented to
// raise (ValueError, SecurityError, TypeError); nothing else escapes.
#include "fuzz_check.hpp"
#include "test_client.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<ossara::Veilrelay> client;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    client = ossara::fuzz::make_test_client();
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
