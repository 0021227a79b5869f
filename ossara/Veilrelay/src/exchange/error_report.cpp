#include "exchange/error_report.hpp"

#include "core/cancellation.hpp"
#include "core/logging.hpp"
#include "core/throw_site.hpp"
#include "transport/http_transport.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace ossara::detail {

namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

std::string demangle(const char* name) {
    int status = 0;
    const std::unique_ptr<char, FreeDeleter> demangled(abi::__cxa_demangle(name, nullptr, nullptr, &status));
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(name);
}

const ThrowSite* throw_site_of(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Exception*>(&error)) return &own->throw_site();
    if (const auto* http = dynamic_cast<const HttpError*>(&error)) return &http->throw_site();
    return nullptr;
}

}  // namespace

std::string describe_error_with_stack(const std::exception& error) {
    std::string text = demangle(typeid(error).name()) + ": " + error.what() + "\n";
    if (const ThrowSite* site = throw_site_of(error)) return text + "Stack trace:" + format_throw_site(*site);
    return text + "Stack trace: not available (the error was raised outside this library)";
}

void raise_exchange_failure(std::exception_ptr failure, std::string_view operation) {
    std::string unexpected;
    try {
        std::rethrow_exception(failure);
    } catch (const HttpError& error) {
        if (error.kind() == HttpFailure::could_not_connect || error.kind() == HttpFailure::network)
            throw APIConnectionError(std::string("Failed to connect to router: ") + error.what());
        unexpected = describe_error_with_stack(error);
    } catch (const SecurityError&) {
        throw;
    } catch (const APIError&) {
        throw;
    } catch (const APIConnectionError&) {
        throw;
    } catch (const ConnectionError&) {
        throw;
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception& error) {
        if (is_cancellation(error)) throw CancelledError();
        unexpected = describe_error_with_stack(error);
    }
    log().error("Unexpected error in {}\n{}", operation, unexpected);
    throw APIConnectionError("Request failed due to an unexpected error");
}

}  // namespace ossara::detail
