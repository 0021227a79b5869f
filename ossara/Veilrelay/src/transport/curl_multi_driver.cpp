#if !defined(_WIN32)
#include "transport/curl_multi_driver.hpp"

#include "transport/http_transport.hpp"

#include <asio/execution/context.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/prefer.hpp>
#include <asio/query.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace ossara::detail {

namespace {

// Hands out the context's driver. On the context's shutdown it lets go of
// it, so the driver's timer and descriptors go while every service of the
// context still exists.
class DriverService final : public asio::execution_context::service {
public:
    static asio::execution_context::id id;

    explicit DriverService(asio::execution_context& context) : asio::execution_context::service(context) {}

    std::shared_ptr<CurlMultiDriver> driver(const asio::any_io_executor& io) {
        const std::lock_guard<std::mutex> lock(mutex_);  // first use may come from several threads of a pool
        if (!driver_) driver_ = std::make_shared<CurlMultiDriver>(io);
        return driver_;
    }

private:
    void shutdown() override {
        std::shared_ptr<CurlMultiDriver> driver;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            driver = std::move(driver_);
        }
        if (driver) driver->shut_down();
    }

    std::mutex mutex_;
    std::shared_ptr<CurlMultiDriver> driver_;
};

asio::execution_context::id DriverService::id;

}  // namespace

// A socket curl asked us to watch.
struct CurlMultiDriver::Watch {
    Watch(const Strand& strand, curl_socket_t socket) : descriptor(strand), fd(socket) {}
    asio::posix::stream_descriptor descriptor;  // on our dup() of fd
    curl_socket_t fd;                           // curl's own descriptor
    int wanted = 0;                             // CURL_POLL_IN / CURL_POLL_OUT bits
    bool reading = false;                       // a wait_read is pending
    bool writing = false;                       // a wait_write is pending
    bool active = true;                         // false once curl let go of it
};

std::shared_ptr<CurlMultiDriver> CurlMultiDriver::of(const asio::any_io_executor& io) {
    return asio::use_service<DriverService>(asio::query(io, asio::execution::context)).driver(io);
}

CurlMultiDriver::CurlMultiDriver(const asio::any_io_executor& io)
    // Untracked: the driver alone never keeps the context's run() going.
    : strand_(asio::make_strand(asio::prefer(io, asio::execution::outstanding_work.untracked))), timer_(strand_) {
    ensure_curl_initialised();
    multi_.reset(curl_multi_init());
    if (!multi_) throw HttpError(HttpFailure::other, CURLE_OUT_OF_MEMORY, "cannot create a curl handle");
    curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, &CurlMultiDriver::on_socket);
    curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, &CurlMultiDriver::on_timer);
    curl_multi_setopt(multi_.get(), CURLMOPT_TIMERDATA, this);
}

CurlMultiDriver::~CurlMultiDriver() { shut_down(); }

bool CurlMultiDriver::add(CURL* easy, std::shared_ptr<CurlTransfer> owner, std::string& error) {
    if (closing_) {
        error = "the event loop is shutting down";
        return false;
    }
    transfers_[easy] = std::move(owner);
    // Adding the handle makes curl set its timer; the transfer starts from there.
    const CURLMcode rc = curl_multi_add_handle(multi_.get(), easy);
    if (rc == CURLM_OK) return true;
    transfers_.erase(easy);
    error = curl_multi_strerror(rc);
    return false;
}

void CurlMultiDriver::remove(CURL* easy) noexcept {
    curl_multi_remove_handle(multi_.get(), easy);
    const auto it = transfers_.find(easy);
    if (it == transfers_.end()) return;
    // Erased before the owner may go, whose destructor calls remove() again.
    const std::shared_ptr<CurlTransfer> owner = std::move(it->second);
    transfers_.erase(it);
    if (transfers_.empty()) {
        // Nothing runs: no timer of curl's keeps the context busy.
        ++timer_generation_;
        timer_.cancel();
    }
}

void CurlMultiDriver::shut_down() noexcept {
    closing_ = true;  // curl's callbacks from here on are ignored
    ++timer_generation_;
    timer_.cancel();
    for (auto& entry : watches_) release(*entry.second);
    watches_.clear();
    // The transfers' destructors call remove(), which must not find them.
    auto transfers = std::move(transfers_);
    transfers_.clear();
    transfers.clear();
    broken_.clear();
}

std::shared_ptr<CurlTransfer> CurlMultiDriver::holder_of(CURL* easy) const {
    const auto it = transfers_.find(easy);
    return it == transfers_.end() ? nullptr : it->second;
}

// ---- libcurl callbacks: record what curl wants, nothing more --------------

int CurlMultiDriver::on_socket(CURL* easy, curl_socket_t socket, int what, void* user, void*) {
    auto* self = static_cast<CurlMultiDriver*>(user);
    if (self->closing_) return 0;
    if (what == CURL_POLL_REMOVE)
        self->forget(socket);
    else
        self->watch(easy, socket, what);
    return 0;
}

int CurlMultiDriver::on_timer(CURLM*, long timeout_ms, void* user) {
    auto* self = static_cast<CurlMultiDriver*>(user);
    if (self->closing_) return 0;
    const std::uint64_t generation = ++self->timer_generation_;
    if (timeout_ms < 0) {
        self->timer_.cancel();
        return 0;
    }
    self->timer_.expires_after(std::chrono::milliseconds(timeout_ms));
    self->timer_.async_wait([self = self->shared_from_this(), generation](const asio::error_code& ec) {
        if (ec || self->closing_ || generation != self->timer_generation_) return;
        self->drive(CURL_SOCKET_TIMEOUT, 0);
    });
    return 0;
}

// ---- socket bookkeeping -----------------------------------------------------

void CurlMultiDriver::watch(CURL* easy, curl_socket_t socket, int what) {
    auto& slot = watches_[socket];
    if (!slot) {
        std::string failure;
        const int copy = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            failure = std::string("cannot watch a socket: ") + std::strerror(errno);
        } else {
            auto fresh = std::make_shared<Watch>(strand_, socket);
            asio::error_code ec;
            fresh->descriptor.assign(copy, ec);
            if (ec) {
                ::close(copy);
                failure = "cannot watch a socket: " + ec.message();
            } else {
                slot = std::move(fresh);
            }
        }
        if (!slot) {
            watches_.erase(socket);
            broken_.emplace_back(easy, std::move(failure));
            return;
        }
    }
    slot->wanted = what;
    arm(slot);
}

void CurlMultiDriver::forget(curl_socket_t socket) noexcept {
    const auto it = watches_.find(socket);
    if (it == watches_.end()) return;
    release(*it->second);
    watches_.erase(it);
}

// Deregisters our copy from the reactor (pending waits end as aborted) and
// closes it; curl's own descriptor is untouched.
void CurlMultiDriver::release(Watch& w) noexcept {
    w.active = false;
    if (w.descriptor.is_open()) ::close(w.descriptor.release());
}

void CurlMultiDriver::arm(const std::shared_ptr<Watch>& w) {
    using Wait = asio::posix::descriptor_base::wait_type;
    if ((w->wanted & CURL_POLL_IN) != 0 && !w->reading) {
        w->reading = true;
        w->descriptor.async_wait(Wait::wait_read, [self = shared_from_this(), w](const asio::error_code& ec) {
            self->on_ready(w, CURL_CSELECT_IN, ec);
        });
    }
    if ((w->wanted & CURL_POLL_OUT) != 0 && !w->writing) {
        w->writing = true;
        w->descriptor.async_wait(Wait::wait_write, [self = shared_from_this(), w](const asio::error_code& ec) {
            self->on_ready(w, CURL_CSELECT_OUT, ec);
        });
    }
}

void CurlMultiDriver::on_ready(const std::shared_ptr<Watch>& w, int direction, const asio::error_code& ec) {
    (direction == CURL_CSELECT_IN ? w->reading : w->writing) = false;
    if (closing_ || !w->active || ec == asio::error::operation_aborted) return;
    const int interest = direction == CURL_CSELECT_IN ? CURL_POLL_IN : CURL_POLL_OUT;
    if (!ec && (w->wanted & interest) == 0) return;  // curl lost interest meanwhile
    drive(w->fd, ec ? CURL_CSELECT_ERR : direction);
    if (!closing_ && w->active) arm(w);
}

// Hands curl one ready socket (or its due timer), then tells each transfer
// that ended so. Transfers end outside curl_multi_socket_action, which is
// when they may take their handles out.
void CurlMultiDriver::drive(curl_socket_t socket, int events) {
    int running = 0;
    const CURLMcode rc = curl_multi_socket_action(multi_.get(), socket, events, &running);
    const auto broken = std::move(broken_);
    broken_.clear();
    for (const auto& [easy, reason] : broken)
        if (const auto transfer = holder_of(easy)) transfer->broke(reason);
    if (rc != CURLM_OK) {
        // The multi handle's state is unknown: no transfer of it can be trusted to finish.
        std::vector<std::shared_ptr<CurlTransfer>> all;
        for (const auto& entry : transfers_) all.push_back(entry.second);
        for (const auto& transfer : all) transfer->broke(curl_multi_strerror(rc));
        return;
    }
    int left = 0;
    while (const CURLMsg* const message = curl_multi_info_read(multi_.get(), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        // The message goes with the handle once the transfer removes it.
        CURL* const easy = message->easy_handle;
        const CURLcode result = message->data.result;
        if (const auto transfer = holder_of(easy)) transfer->concluded(result);
    }
}

}  // namespace ossara::detail
#endif
