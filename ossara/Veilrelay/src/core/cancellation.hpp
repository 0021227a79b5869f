#pragma once
// Asio reports the cancellation of a coroutine at its next co_await as
// std::system_error(operation_aborted), not through the transport. The public
// operations turn it into ossara::CancelledError before their catch-alls.
#include <asio/error.hpp>

#include <exception>
#include <system_error>

namespace ossara::detail {

inline bool is_cancellation(const std::exception& error) noexcept {
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    return system != nullptr && system->code() == asio::error::operation_aborted;
}

}  // namespace ossara::detail
