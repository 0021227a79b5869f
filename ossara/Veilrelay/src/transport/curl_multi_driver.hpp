#pragma once
// One libcurl multi handle per Asio execution context (POSIX), shared by
// every exchange that runs there. A multi handle carries a socket table of
// its own (about 29 KB); with one per exchange, a thousand exchanges in
// flight cost 29 MB of it alone.
//
//  * curl tells us, through the socket callback, which sockets it wants
//    watched for reading or writing. Each one gets a stream_descriptor on a
//    dup() of the socket (so we never close curl's descriptor) and async_wait
//    operations for the wanted directions. A ready socket is handed back with
//    curl_multi_socket_action; curl_multi_info_read then tells us which
//    transfers are over.
//  * curl's timer callback sets one steady_timer; on expiry we call
//    curl_multi_socket_action with CURL_SOCKET_TIMEOUT. All time limits
//    (connect, low speed) are curl's own and surface through this timer.
//  * Everything runs on one strand of the context, the strand every
//    transfer of the context also runs on. Curl callbacks only record what
//    curl wants; transfers hear of their end after curl_multi_socket_action
//    returns.
//  * The context's service hands the driver out; on the context's shutdown
//    it lets go of every transfer and ignores curl from then on.
#if !defined(_WIN32)
#include "transport/curl_handles.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/error_code.hpp>
#include <asio/execution_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ossara::detail {

// What the driver tells a transfer it holds.
class CurlTransfer {
public:
    virtual ~CurlTransfer() = default;
    // The transfer is over with `result` (curl_multi_info_read).
    virtual void concluded(CURLcode result) = 0;
    // Driving it failed outside curl's own result (a socket that cannot be
    // watched, a multi handle in error).
    virtual void broke(const std::string& reason) = 0;
};

class CurlMultiDriver : public std::enable_shared_from_this<CurlMultiDriver> {
public:
    using Strand = asio::strand<asio::any_io_executor>;

    // The driver of `io`'s execution context, made on first use.
    static std::shared_ptr<CurlMultiDriver> of(const asio::any_io_executor& io);

    explicit CurlMultiDriver(const asio::any_io_executor& io);
    ~CurlMultiDriver();
    CurlMultiDriver(const CurlMultiDriver&) = delete;
    CurlMultiDriver& operator=(const CurlMultiDriver&) = delete;

    const Strand& strand() const { return strand_; }

    // On the strand. Adds `easy` and keeps `owner` alive until remove();
    // false (nothing added) when curl refuses, with the reason in `error`.
    bool add(CURL* easy, std::shared_ptr<CurlTransfer> owner, std::string& error);
    // Takes `easy` out of the multi handle; safe for one never added.
    void remove(CURL* easy) noexcept;
    // The context shuts down: every transfer is let go, curl's callbacks are
    // ignored from here on, and nothing waits on the context any more.
    void shut_down() noexcept;

private:
    struct Watch;

    static int on_socket(CURL* easy, curl_socket_t socket, int what, void* user, void*);
    static int on_timer(CURLM*, long timeout_ms, void* user);
    void watch(CURL* easy, curl_socket_t socket, int what);
    void forget(curl_socket_t socket) noexcept;
    static void release(Watch& w) noexcept;
    void arm(const std::shared_ptr<Watch>& w);
    void on_ready(const std::shared_ptr<Watch>& w, int direction, const asio::error_code& ec);
    void drive(curl_socket_t socket, int events);
    std::shared_ptr<CurlTransfer> holder_of(CURL* easy) const;

    Strand strand_;
    CurlMulti multi_;
    asio::steady_timer timer_;
    std::uint64_t timer_generation_ = 0;
    std::unordered_map<curl_socket_t, std::shared_ptr<Watch>> watches_;
    std::unordered_map<CURL*, std::shared_ptr<CurlTransfer>> transfers_;
    // Sockets that could not be watched, by transfer, during one socket action.
    std::vector<std::pair<CURL*, std::string>> broken_;
    bool closing_ = false;
};

}  // namespace ossara::detail
#endif
