// A router's answer through the exchange's answer handling: the first two
// bytes pick the status (one of the mapped rows, other codes, or any value),
// the rest is the body. 200 goes to decrypt_response with the published test
// client key, every other status to the status table. Whatever arrives, only
// the library's typed errors come out (the exchange maps them further), and
// nothing crashes, however deep or odd the body.
#include "fuzz_check.hpp"
#include "test_client.hpp"

#include "exchange/status_errors.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

std::unique_ptr<ossara::Veilrelay> client;

constexpr std::array<long, 12> kStatuses{200, 400, 401, 403, 404, 429, 500, 503, 502, 302, 201, 418};

long pick_status(std::uint8_t selector, std::uint8_t extra) {
    if (selector < 2 * kStatuses.size()) return kStatuses[selector % kStatuses.size()];
    return 100 + (selector << 8 | extra) % 900;
}

void decrypt(std::vector<std::uint8_t> body) {
    asio::io_context io;
    std::exception_ptr failure;
    bool answered = false;
    asio::co_spawn(io, client->decrypt_response(std::move(body), "fuzz"),
                   [&](std::exception_ptr error, ossara::json answer) {
                       failure = error;
                       answered = !error;
                       if (answered) OSSARA_FUZZ_CHECK(answer.is_object() && answer.contains("_metadata"));
                   });
    io.run();
    if (!answered && !failure) ossara::fuzz::fail("decrypt_response neither answered nor failed");
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    client = ossara::fuzz::make_test_client();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const long status = pick_status(data[0], data[1]);
    std::vector<std::uint8_t> body(data + 2, data + size);
    try {
        if (status == 200)
            decrypt(std::move(body));
        else
            ossara::detail::raise_for_status(status, body);
    } catch (const ossara::APIError& error) {
        // Only the status table raises these, and always with a status row's
        // class; details, when present, are the object the body was.
        OSSARA_FUZZ_CHECK(status != 200);
        OSSARA_FUZZ_CHECK(!error.error_details || error.error_details->is_object());
    } catch (const ossara::Exception&) {
        // ValueError, SecurityError, TypeError: typed, mapped by the exchange.
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
    return 0;
}
