// One HTTP exchange = one libcurl easy handle, driven by the caller's Asio
// executor:
//
//  * On POSIX the easy handle joins the one multi handle of the caller's
//    execution context (CurlMultiDriver), which watches curl's sockets and
//    timer on the context's strand and tells the exchange when its
//    transfer is over. Connections are never reused between exchanges.
//  * Everything of one exchange runs on that strand. Finishing (removing the
//    handle, completing the caller) happens outside curl's callbacks, and
//    the caller's handler is always posted, never called from inside libcurl.
//  * Cancellation through the operation's cancellation slot posts a cancel
//    to the strand, which tears the transfer down at once and completes with
//    ossara::CancelledError.
//  * A streamed answer (HttpRequest::accept_event_stream) completes the
//    caller as soon as its body starts; the exchange then lives on behind
//    the BodyStream it handed over, buffering what curl delivers for the one
//    waiting read. Past kStreamPauseAt buffered bytes the write callback
//    pauses the transfer, and the next read resumes it: a reader that lags
//    holds back the router instead of growing the buffer.
//  * On Windows there is no descriptor to watch (a socket is not a file, and
//    handing curl's socket to the I/O completion port would tie it there for
//    good): the exchange has a multi handle of its own, and a thread of the
//    exchange runs curl_multi_perform and waits on curl's sockets with
//    select() in short slices, and posts the outcome to the exchange's
//    strand, which finishes as above. A cancel sets a flag the thread sees
//    within one slice and waits for the thread before tearing the transfer
//    down.
#include "transport/http_transport.hpp"

#include "transport/curl_failure.hpp"
#include "transport/curl_handles.hpp"
#include "transport/curl_multi_driver.hpp"

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#if defined(_WIN32)
#include <winsock2.h>

#include <atomic>
#include <thread>
#endif

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

namespace ossara::detail {

namespace {

using Strand = asio::strand<asio::any_io_executor>;

// Used as HttpError's code when the failure is not a transfer's CURLcode.
constexpr int kNoCurlCode = -1;

// Bytes of a streamed body buffered for the reader before curl is paused.
constexpr std::size_t kStreamPauseAt = 1024 * 1024;

// The caller's completion handler behind a virtual interface, so the
// exchange itself is not a template.
class Completion {
public:
    virtual ~Completion() = default;
    virtual void complete(std::exception_ptr error, HttpResponse response) = 0;
};

template <class Handler>
class HandlerCompletion final : public Completion {
public:
    HandlerCompletion(Handler handler, const asio::any_io_executor& io)
        : handler_(std::move(handler)), work_(asio::get_associated_executor(handler_, io)) {}

    void complete(std::exception_ptr error, HttpResponse response) override {
        auto executor = work_.get_executor();
        asio::post(executor, [handler = std::move(handler_), error, response = std::move(response)]() mutable {
            asio::get_associated_cancellation_slot(handler).clear();
            std::move(handler)(error, std::move(response));
        });
        work_.reset();
    }

private:
    Handler handler_;
    asio::executor_work_guard<asio::associated_executor_t<Handler, asio::any_io_executor>> work_;
};

// A read of a streamed body: the caller's handler, as Completion is for the head.
class ReadCompletion {
public:
    virtual ~ReadCompletion() = default;
    virtual void complete(std::exception_ptr error, bool more) = 0;
};

template <class Handler>
class HandlerReadCompletion final : public ReadCompletion {
public:
    HandlerReadCompletion(Handler handler, const asio::any_io_executor& io)
        : handler_(std::move(handler)), work_(asio::get_associated_executor(handler_, io)) {}

    void complete(std::exception_ptr error, bool more) override {
        auto executor = work_.get_executor();
        asio::post(executor, [handler = std::move(handler_), error, more]() mutable {
            asio::get_associated_cancellation_slot(handler).clear();
            std::move(handler)(error, more);
        });
        work_.reset();
    }

private:
    Handler handler_;
    asio::executor_work_guard<asio::associated_executor_t<Handler, asio::any_io_executor>> work_;
};

bool is_header_safe(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// curl drops a header whose value is empty or blank ("Name:" means "do not
// send Name"); "Name;" is its way to send one with an empty value. Blanks
// around a value are not part of it for any HTTP receiver.
std::string header_line(const std::string& name, const std::string& value) {
    if (value.find_first_not_of(" \t") == std::string::npos) return name + ";";
    return name + ": " + value;
}

std::string without_trailing_space(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

#if defined(_WIN32)
class Exchange : public std::enable_shared_from_this<Exchange> {
public:
    Exchange(const asio::any_io_executor& io, HttpRequest request, std::unique_ptr<Completion> completion)
        : strand_(asio::make_strand(io)),
#else
class Exchange final : public CurlTransfer, public std::enable_shared_from_this<Exchange> {
public:
    Exchange(const asio::any_io_executor& io, HttpRequest request, std::unique_ptr<Completion> completion)
        : driver_(CurlMultiDriver::of(io)),
          strand_(driver_->strand()),
#endif
          request_(std::move(request)),
          completion_(std::move(completion)) {}

    ~Exchange() {
        // Only reached unfinished when the caller's context is torn down with
        // the operation pending; the handler is then destroyed, not called.
#if defined(_WIN32)
        stop_polling();
#endif
        if (!done_) teardown();
    }

    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const Strand& strand() const { return strand_; }

    void start() {
        asio::post(strand_, [self = shared_from_this()] { self->begin(); });
    }

    void cancel() {
        if (done_) return;
#if defined(_WIN32)
        stop_polling();
#endif
        finish(std::make_exception_ptr(CancelledError{}));
    }

    // ---- the streamed body (all on the strand) -----------------------------

    // Hands `out` what is buffered, or waits for it until `deadline`.
    void read(std::vector<std::uint8_t>* out, std::chrono::steady_clock::time_point deadline,
              std::unique_ptr<ReadCompletion> completion) {
        if (reader_) {
            completion->complete(std::make_exception_ptr(std::logic_error("a read is already waiting")), false);
            return;
        }
        reader_ = std::move(completion);
        reader_out_ = out;
        if (!stream_pending_.empty() || stream_ended_) {
            deliver();
            return;
        }
        if (!read_timer_) read_timer_.emplace(strand_);
        read_timer_->expires_at(deadline);
        read_timer_->async_wait([self = shared_from_this(), generation = ++read_generation_](const asio::error_code& ec) {
            if (ec || generation != self->read_generation_ || !self->reader_) return;
            self->fail(HttpFailure::timeout, kNoCurlCode, "no data from the router in time");
        });
    }

    // The reader went away: the transfer has no one to deliver to.
    void abandon() {
        stream_pending_.clear();
        if (!done_) finish(std::make_exception_ptr(CancelledError{}));
    }

private:

    template <class Value>
    void set(CURLoption option, Value value) {
        const CURLcode rc = curl_easy_setopt(easy_.get(), option, value);
        if (rc != CURLE_OK) throw HttpError(HttpFailure::other, rc, curl_easy_strerror(rc));
    }

    void configure() {
        ensure_curl_initialised();
#if defined(_WIN32)
        multi_.reset(curl_multi_init());
        if (!multi_) throw HttpError(HttpFailure::other, CURLE_OUT_OF_MEMORY, "cannot create a curl handle");
#endif
        easy_.reset(curl_easy_init());
        if (!easy_) throw HttpError(HttpFailure::other, CURLE_OUT_OF_MEMORY, "cannot create a curl handle");

        for (const auto& [name, value] : request_.headers) {
            // A line break in a header would let a value inject headers of its own.
            if (name.empty() || name.find(':') != std::string::npos || !is_header_safe(name) || !is_header_safe(value))
                throw HttpError(HttpFailure::other, kNoCurlCode, "invalid HTTP header: " + name);
            append_header(header_line(name, value));
        }
        // Large bodies go out at once instead of waiting for "100 Continue".
        append_header("Expect:");

        set(CURLOPT_URL, request_.url.c_str());
        set(CURLOPT_PROTOCOLS_STR, "http,https");
        // "" for both means: no proxy, and none from http_proxy, https_proxy,
        // ALL_PROXY or NO_PROXY in the environment either.
        set(CURLOPT_PROXY, request_.proxy ? request_.proxy->c_str() : "");
        set(CURLOPT_NOPROXY, "");
        set(CURLOPT_HTTPHEADER, headers_.get());
        set(CURLOPT_NOSIGNAL, 1L);
        // Every exchange has a connection and a name lookup of its own, as if
        // it had its own client: the multi handle it shares keeps neither a
        // connection nor an address for the next exchange.
        set(CURLOPT_FRESH_CONNECT, 1L);
        set(CURLOPT_FORBID_REUSE, 1L);
        set(CURLOPT_DNS_CACHE_TIMEOUT, 0L);
        set(CURLOPT_ERRORBUFFER, error_buffer_.data());
        set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request_.limits.connect.count()));
        set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(request_.limits.low_speed_time.count()));
        set(CURLOPT_SSL_VERIFYPEER, 1L);
        set(CURLOPT_SSL_VERIFYHOST, 2L);
        disable_tls_key_log(easy_.get());
        if (request_.ca_file) {
            // The given bundle replaces the system's trust: no certificate folder either.
            set(CURLOPT_CAINFO, request_.ca_file->c_str());
            set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        }
        set(CURLOPT_WRITEFUNCTION, &Exchange::on_body);
        set(CURLOPT_WRITEDATA, this);
        if (request_.method == HttpRequest::Method::post) {
            static constexpr char kEmpty[] = "";
            set(CURLOPT_POST, 1L);
            // curl reads the body straight from the request; no copy.
            set(CURLOPT_POSTFIELDS, request_.body.empty() ? kEmpty : reinterpret_cast<const char*>(request_.body.data()));
            set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body.size()));
        } else {
            set(CURLOPT_HTTPGET, 1L);
        }
    }

    void append_header(const std::string& line) {
        curl_slist* const list = curl_slist_append(headers_.get(), line.c_str());
        if (list == nullptr) throw HttpError(HttpFailure::other, CURLE_OUT_OF_MEMORY, "cannot build the request headers");
        (void)headers_.release();  // curl_slist_append returned the same list, now one longer
        headers_.reset(list);
    }

    void begin() {
        if (done_) return;  // cancelled before it started
        try {
            configure();
        } catch (...) {
            finish(std::current_exception());
            return;
        }
#if defined(_WIN32)
        const CURLMcode rc = curl_multi_add_handle(multi_.get(), easy_.get());
        if (rc != CURLM_OK) {
            fail(HttpFailure::other, kNoCurlCode, curl_multi_strerror(rc));
            return;
        }
        try {
            poller_ = std::thread([self = shared_from_this()] { self->poll_until_done(); });
        } catch (const std::system_error& e) {
            fail(HttpFailure::other, kNoCurlCode, std::string("cannot start the transfer: ") + e.what());
        }
#else
        std::string refusal;
        if (!driver_->add(easy_.get(), shared_from_this(), refusal)) fail(HttpFailure::other, kNoCurlCode, refusal);
#endif
    }

#if !defined(_WIN32)
    // ---- what the driver reports (on the strand) ---------------------------

    void concluded(CURLcode result) override {
        if (!done_) conclude(result);
    }

    void broke(const std::string& reason) override {
        if (!done_) fail(HttpFailure::other, kNoCurlCode, reason);
    }
#endif

#if defined(_WIN32)
    // The poller thread: curl does all the socket work; the outcome goes to
    // the strand. Nothing else touches the handles while this runs.
    void poll_until_done() {
        CURLMcode rc = CURLM_OK;
        std::optional<CURLcode> result;
        while (!result && !stop_.load()) {
            int running = 0;
            rc = curl_multi_perform(multi_.get(), &running);
            if (rc != CURLM_OK) break;
            int left = 0;
            while (const CURLMsg* const message = curl_multi_info_read(multi_.get(), &left)) {
                if (message->msg == CURLMSG_DONE) result = message->data.result;
            }
            if (result || stop_.load()) break;
            rc = wait_for_sockets();
            if (rc != CURLM_OK) break;
        }
        asio::post(strand_, [self = shared_from_this(), rc, result] {
            self->stop_polling();
            if (self->done_) return;
            if (result) {
                self->conclude(*result);
            } else if (rc != CURLM_OK) {
                self->fail(HttpFailure::other, kNoCurlCode, curl_multi_strerror(rc));
            }
        });
    }

    // Waits until one of curl's sockets is ready, curl's own timer is due or
    // one slice passes. Not curl_multi_poll: its wait (one WSAEventSelect
    // event for every socket) can miss both the socket and its own timeout
    // under Wine, leaving an exchange hanging for good; select() on curl's
    // descriptor sets behaves the same under Wine and on Windows.
    CURLMcode wait_for_sockets() {
        constexpr long kSliceMs = 50;
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        int highest = -1;
        const CURLMcode rc = curl_multi_fdset(multi_.get(), &readable, &writable, &failed, &highest);
        if (rc != CURLM_OK) return rc;
        long due_ms = -1;
        curl_multi_timeout(multi_.get(), &due_ms);
        const long wait_ms = due_ms >= 0 ? std::min(due_ms, kSliceMs) : kSliceMs;
        if (highest < 0) {
            // No socket yet (a name being resolved, a connect being retried).
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            return CURLM_OK;
        }
        timeval limit{0, static_cast<long>(wait_ms * 1000)};
        ::select(0, &readable, &writable, &failed, &limit);
        return CURLM_OK;
    }

    // Ends the poller thread and waits for it (unless this is that thread,
    // when its last reference to the exchange goes).
    void stop_polling() noexcept {
        if (!poller_.joinable()) return;
        stop_ = true;
        if (poller_.get_id() == std::this_thread::get_id()) {
            poller_.detach();
        } else {
            poller_.join();
        }
    }
#endif

    // ---- libcurl callbacks --------------------------------------------------

    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Exchange*>(user);
        const std::size_t n = size * count;
        self->in_callback_ = true;
        try {
            const std::size_t taken = self->take_body(reinterpret_cast<const std::uint8_t*>(data), n);
            self->in_callback_ = false;
            return taken;
        } catch (...) {
            self->in_callback_ = false;
            return 0;  // curl ends the transfer with CURLE_WRITE_ERROR
        }
    }

    // Appends what fits under the limit of the answer's status (a declared
    // Content-Length is used to reserve up front, never beyond the limit).
    // Returning less than n makes curl stop reading at once
    // (CURLE_WRITE_ERROR), which drive() turns into the cut answer or the
    // over-limit failure.
    std::size_t take_body(const std::uint8_t* bytes, std::size_t n) {
        if (streaming_) return take_stream_bytes(bytes, n);
        long status = 0;
        curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
#if !defined(_WIN32)
        // (On Windows this callback runs on the poller thread, not the
        // strand; a streamed answer is collected whole there, as any other.)
        if (request_.accept_event_stream && status == 200 && is_event_stream(content_type())) {
            start_streaming();
            return take_stream_bytes(bytes, n);
        }
#endif
        const bool error_answer = status != 200;
        const std::size_t limit = error_answer ? request_.max_error_body : request_.max_body;
        auto& body = response_.body;
        if (!reserved_) {
            reserved_ = true;
            curl_off_t length = -1;
            if (curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
                body.reserve(std::min(static_cast<std::size_t>(length), limit));
        }
        const std::size_t room = limit - std::min(limit, body.size());
        const std::size_t taken = std::min(n, room);
        if (body.size() + taken > body.capacity()) {
            // Capacities are the limit halved k times: the last growth copies
            // half the limit into the limit, so a body that runs into the
            // limit never needs more than the limit at once.
            const std::size_t wanted = std::max(body.capacity() * 2, body.size() + taken);
            std::size_t grown = limit;
            while (grown / 2 >= wanted) grown /= 2;
            body.reserve(grown);
        }
        body.insert(body.end(), bytes, bytes + taken);
        if (taken == n) return n;
        if (error_answer)
            cut_ = true;
        else
            over_limit_.emplace(HttpFailure::other, kNoCurlCode,
                                "the answer's body exceeds the limit of " + std::to_string(limit) + " bytes");
        return 0;
    }

    std::string content_type() const {
        const char* type = nullptr;
        if (curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_TYPE, &type) != CURLE_OK || type == nullptr) return {};
        return type;
    }

#if !defined(_WIN32)
    // The head goes to the caller now, with the handle it reads the rest through.
    void start_streaming();
#endif

    std::size_t take_stream_bytes(const std::uint8_t* bytes, std::size_t n) {
        if (stream_pending_.size() >= kStreamPauseAt) {
            paused_ = true;
            return CURL_WRITEFUNC_PAUSE;  // curl keeps these bytes and offers them again once resumed
        }
        stream_pending_.insert(stream_pending_.end(), bytes, bytes + n);
        if (reader_) deliver();
        return n;
    }

    // Completes the waiting read with what is buffered, or with the end.
    void deliver() {
        ++read_generation_;
        if (read_timer_) read_timer_->cancel();
        const std::unique_ptr<ReadCompletion> reader = std::move(reader_);
        if (!stream_pending_.empty()) {
            reader_out_->insert(reader_out_->end(), stream_pending_.begin(), stream_pending_.end());
            stream_pending_.clear();
            reader->complete(nullptr, true);
            resume();
            return;
        }
        reader->complete(stream_end_, false);
    }

    // Lets curl deliver again after a pause (it may call the write callback
    // from in here, and sets its timer to carry on with the transfer).
    void resume() {
        if (!paused_ || done_ || in_callback_) return;
        paused_ = false;
        const CURLcode rc = curl_easy_pause(easy_.get(), CURLPAUSE_CONT);
        if (rc != CURLE_OK) fail(HttpFailure::other, rc, curl_easy_strerror(rc));
    }

    // ---- progress and completion -------------------------------------------

    // The transfer is over with `result`.
    void conclude(CURLcode result) {
        if (result == CURLE_WRITE_ERROR && over_limit_) {
            const HttpError error = *over_limit_;
            finish(std::make_exception_ptr(error));
        } else if (result == CURLE_OK || (result == CURLE_WRITE_ERROR && cut_)) {
            curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &response_.status);
            response_.content_type = content_type();
            finish(nullptr);
        } else {
            std::string text = error_buffer_[0] != '\0' ? std::string(error_buffer_.data()) : curl_easy_strerror(result);
            fail(classify_curl_code(result), result, without_trailing_space(std::move(text)));
        }
    }

    void fail(HttpFailure kind, int code, std::string text) {
        finish(std::make_exception_ptr(HttpError(kind, code, text)));
    }

    // Handles are cleaned up before the caller hears of the outcome.
    void finish(std::exception_ptr error) {
        if (done_) return;
        done_ = true;
        teardown();
        if (streaming_) {
            // The head went out already: the end (or failure) is the reader's.
            stream_ended_ = true;
            stream_end_ = error;
            if (error) stream_pending_.clear();  // bytes before a failure are never handed over after it
            if (reader_) deliver();
            return;
        }
        const std::unique_ptr<Completion> completion = std::move(completion_);
        if (error) response_ = HttpResponse{};
        completion->complete(error, std::move(response_));
    }

    void teardown() noexcept {
        if (read_timer_) read_timer_->cancel();
#if defined(_WIN32)
        if (multi_ && easy_) curl_multi_remove_handle(multi_.get(), easy_.get());
        easy_.reset();
        multi_.reset();
#else
        if (easy_) driver_->remove(easy_.get());
        easy_.reset();
#endif
        headers_.reset();
        // The request body (a package as large as the payload and a third)
        // goes back before the caller reads the answer.
        std::vector<std::uint8_t>().swap(request_.body);
    }

#if !defined(_WIN32)
    std::shared_ptr<CurlMultiDriver> driver_;
#endif
    Strand strand_;
    HttpRequest request_;
    std::unique_ptr<Completion> completion_;
    // The streamed body: bytes not yet read, the one waiting read and its
    // deadline, and how the transfer ended.
    // Made by the first read: most exchanges never need it, and on Windows
    // the first timer of an io_context starts a thread of its own, which the
    // context then joins when it is destroyed (under Wine that join has been
    // seen to hang for good).
    std::optional<asio::steady_timer> read_timer_;
    std::uint64_t read_generation_ = 0;
    std::vector<std::uint8_t> stream_pending_;
    std::unique_ptr<ReadCompletion> reader_;
    std::vector<std::uint8_t>* reader_out_ = nullptr;
    std::exception_ptr stream_end_;
    bool streaming_ = false;
    bool stream_ended_ = false;
    bool paused_ = false;
    bool in_callback_ = false;
    CurlEasy easy_;
    CurlSlist headers_;
#if defined(_WIN32)
    CurlMulti multi_;
    std::thread poller_;
    std::atomic<bool> stop_{false};
#endif
    std::array<char, CURL_ERROR_SIZE> error_buffer_{};
    HttpResponse response_;
    std::optional<HttpError> over_limit_;  // a 200 body passed max_body
    bool cut_ = false;                     // an error body was cut at max_error_body
    bool reserved_ = false;
    bool done_ = false;
};

// Installed in the operation's cancellation slot: any cancellation type ends
// the transfer, since a half-done exchange cannot be resumed anyway.
class CancelOnSignal {
public:
    CancelOnSignal(std::weak_ptr<Exchange> exchange, Strand strand)
        : exchange_(std::move(exchange)), strand_(std::move(strand)) {}

    void operator()(asio::cancellation_type type) {
        if (type == asio::cancellation_type::none) return;
        asio::post(strand_, [weak = exchange_] {
            if (const auto exchange = weak.lock()) exchange->cancel();
        });
    }

private:
    std::weak_ptr<Exchange> exchange_;
    Strand strand_;
};

struct InitiateExchange {
    template <class Handler>
    void operator()(Handler handler, const asio::any_io_executor& io, HttpRequest request) const {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto exchange = std::make_shared<Exchange>(
            io, std::move(request), std::make_unique<HandlerCompletion<Handler>>(std::move(handler), io));
        if (slot.is_connected()) slot.template emplace<CancelOnSignal>(exchange, exchange->strand());
        exchange->start();
    }
};

struct InitiateRead {
    template <class Handler>
    void operator()(Handler handler, const asio::any_io_executor& io, std::shared_ptr<Exchange> exchange,
                    std::vector<std::uint8_t>* out, std::chrono::steady_clock::time_point deadline) const {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto completion = std::make_unique<HandlerReadCompletion<Handler>>(std::move(handler), io);
        if (slot.is_connected()) slot.template emplace<CancelOnSignal>(exchange, exchange->strand());
        const Strand strand = exchange->strand();
        asio::post(strand, [exchange = std::move(exchange), out, deadline, completion = std::move(completion)]() mutable {
            exchange->read(out, deadline, std::move(completion));
        });
    }
};

// The caller's handle on a streamed body. Reads run on the exchange's strand.
class StreamHandle final : public BodyStream {
public:
    explicit StreamHandle(std::shared_ptr<Exchange> exchange) : exchange_(std::move(exchange)) {}
    ~StreamHandle() override {
        asio::post(exchange_->strand(), [exchange = exchange_] { exchange->abandon(); });
    }
    StreamHandle(const StreamHandle&) = delete;
    StreamHandle& operator=(const StreamHandle&) = delete;

    asio::awaitable<bool> read(std::vector<std::uint8_t>& out, std::chrono::steady_clock::time_point deadline) override {
        const asio::any_io_executor io = co_await asio::this_coro::executor;
        co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, bool)>(
            InitiateRead{}, asio::use_awaitable, io, exchange_, &out, deadline);
    }

private:
    std::shared_ptr<Exchange> exchange_;
};

#if !defined(_WIN32)  // Windows collects a streamed answer whole (see take_body)
void Exchange::start_streaming() {
    streaming_ = true;
    // From here the reader's deadline bounds each wait; curl's low-speed
    // limit would end a stream whose model pauses, or one paused for a slow reader.
    curl_easy_setopt(easy_.get(), CURLOPT_LOW_SPEED_TIME, 0L);
    HttpResponse head;
    head.status = 200;
    head.content_type = content_type();
    head.stream = std::make_unique<StreamHandle>(shared_from_this());
    const std::unique_ptr<Completion> completion = std::move(completion_);
    completion->complete(nullptr, std::move(head));
}
#endif

template <class CompletionToken>
auto async_exchange(const asio::any_io_executor& io, HttpRequest request, CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::exception_ptr, HttpResponse)>(
        InitiateExchange{}, token, io, std::move(request));
}

}  // namespace

bool is_event_stream(std::string_view content_type) noexcept {
    constexpr std::string_view kType = "text/event-stream";
    if (content_type.size() < kType.size()) return false;
    for (std::size_t i = 0; i < kType.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(content_type[i])) != kType[i]) return false;
    return content_type.size() == kType.size() || content_type[kType.size()] == ';' ||
           content_type[kType.size()] == ' ';
}

asio::awaitable<HttpResponse> http_exchange(HttpRequest request) {
    const asio::any_io_executor io = co_await asio::this_coro::executor;
    co_return co_await async_exchange(io, std::move(request), asio::use_awaitable);
}

}  // namespace ossara::detail
