#pragma once
// Turning a router answer that is not 200 into the error its status maps to.
#include <cstdint>
#include <span>

namespace ossara::detail {

// Always throws: the status class of the table (400, 401, 403, 404, 429, 500,
// 503) built from the JSON body's "detail" or the row's fallback, or APIError
// "Unexpected status code: ..." for any other status. A JSON body that is not
// an object (and a 401 detail that is not a string) raises ossara::TypeError,
// which the exchange treats as unexpected.
// An HTTP answer's other statuses carry no details; with
// `details_for_any_status` (a stream's final chunk, whose members the router
// wrote for its statuses 502 and 504 too) a JSON object body becomes their
// `error_details` as in the table's rows.
[[noreturn]] void raise_for_status(long status, std::span<const std::uint8_t> body,
                                   bool details_for_any_status = false);

}  // namespace ossara::detail
