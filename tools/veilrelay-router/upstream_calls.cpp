#include "upstream_calls.hpp"

#include "prepared_call.hpp"

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace veilrelay_router {

// A call handed to the multi thread and the way back to its caller.
struct Call {
    std::unique_ptr<PreparedCall> prepared;
    std::function<void(UpstreamResult)> deliver;
    std::atomic<bool> delivered{false};

    void complete(UpstreamResult result) {
        if (!delivered.exchange(true)) deliver(std::move(result));
    }
};

namespace {

struct MultiFree {
    void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};

UpstreamResult ended(std::size_t limit, std::string why) {
    UpstreamResult result(limit);
    result.outcome = UpstreamResult::Outcome::failed;
    result.error = std::move(why);
    return result;
}

}  // namespace

struct UpstreamCalls::Impl {
    Impl() {
        global_init();
        multi.reset(curl_multi_init());
        if (!multi) throw std::runtime_error("curl_multi_init failed");
        thread = std::thread([this] { run(); });
    }

    std::unique_ptr<CURLM, MultiFree> multi;
    std::thread thread;
    std::mutex mutex;  // guards the three below
    std::vector<std::shared_ptr<Call>> to_add;
    std::vector<std::shared_ptr<Call>> to_cancel;
    bool quitting = false;
    std::unordered_map<CURL*, std::shared_ptr<Call>> running;  // the multi thread only

    void submit(std::shared_ptr<Call> call) {
        {
            const std::lock_guard lock(mutex);
            if (!quitting) {
                to_add.push_back(std::move(call));
                call = nullptr;
            }
        }
        if (call) call->complete(ended(0, "router stopping"));
        else curl_multi_wakeup(multi.get());
    }

    void cancel(std::shared_ptr<Call> call) {
        {
            const std::lock_guard lock(mutex);
            to_cancel.push_back(std::move(call));
        }
        curl_multi_wakeup(multi.get());
    }

    void remove(const std::shared_ptr<Call>& call, UpstreamResult result) {
        CURL* const easy = call->prepared->easy.get();
        if (running.erase(easy) == 0) return;
        curl_multi_remove_handle(multi.get(), easy);
        call->complete(std::move(result));
    }

    void run() {
        for (;;) {
            std::vector<std::shared_ptr<Call>> adding, cancelling;
            bool quit = false;
            {
                const std::lock_guard lock(mutex);
                adding.swap(to_add);
                cancelling.swap(to_cancel);
                quit = quitting;
            }
            for (auto& call : adding) {
                CURL* const easy = call->prepared->easy.get();
                if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
                    call->complete(ended(0, "cannot start the call"));
                    continue;
                }
                running.emplace(easy, std::move(call));
            }
            for (auto& call : cancelling) remove(call, ended(0, "cancelled"));
            if (quit) break;

            int active = 0;
            curl_multi_perform(multi.get(), &active);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                const auto it = running.find(msg->easy_handle);
                if (it == running.end()) continue;
                const auto call = it->second;
                const CURLcode code = msg->data.result;
                remove(call, finish_call(*call->prepared, code));
            }
            curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        }
        const auto still = running;
        for (const auto& [easy, call] : still) remove(call, ended(0, "router stopping"));
    }

    asio::awaitable<UpstreamResult> call(std::unique_ptr<PreparedCall> prepared) {
        auto initiate = [&](auto handler) {
            auto call = std::make_shared<Call>();
            call->prepared = std::move(prepared);
            auto slot = asio::get_associated_cancellation_slot(handler);
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            call->deliver = [shared](UpstreamResult result) {
                const auto executor = asio::get_associated_executor(*shared);
                asio::post(executor, [shared, result = std::move(result)]() mutable { (*shared)(std::move(result)); });
            };
            if (slot.is_connected())
                slot.assign([this, weak = std::weak_ptr<Call>(call)](asio::cancellation_type) {
                    if (auto c = weak.lock()) cancel(std::move(c));
                });
            submit(std::move(call));
        };
        co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(UpstreamResult)>(
            initiate, asio::use_awaitable);
    }
};


struct UpstreamStream::State {
    explicit State(std::size_t max_buffered_) : max_buffered(max_buffered_), pending(max_buffered_) {}
    ~State() {
        if (!body.empty()) OPENSSL_cleanse(body.data(), body.size());
    }

    std::string body;  // the request, owned here: the call may outlive the caller's buffer
    std::size_t max_buffered = 0;
    std::weak_ptr<UpstreamCalls::Impl> calls;
    std::weak_ptr<Call> call;
    PreparedCall* prepared = nullptr;  // valid while the call runs (the multi thread only)

    std::mutex mutex;  // guards what follows
    WipingBuffer pending;  // grows without leaving copies; wiped when it goes
    bool head = false;
    long status = 0;
    std::string content_type;
    std::optional<std::string> retry_after;
    bool ended = false;
    std::optional<UpstreamResult> result;
    std::function<void()> wake;

    // Under the lock: hands the waiter its wake-up.
    std::function<void()> take_wake() { return std::exchange(wake, nullptr); }
};

namespace {

// libcurl's body callback for a stream: the bytes wait in `pending` for the consumer.
std::size_t on_stream_data(char* data, std::size_t size, std::size_t count, void* user) {
    auto* state = static_cast<UpstreamStream::State*>(user);
    const std::size_t n = size * count;
    std::function<void()> wake;
    {
        const std::lock_guard lock(state->mutex);
        if (!state->head) {
            state->head = true;
            curl_easy_getinfo(state->prepared->easy.get(), CURLINFO_RESPONSE_CODE, &state->status);
            const char* type = nullptr;
            curl_easy_getinfo(state->prepared->easy.get(), CURLINFO_CONTENT_TYPE, &type);
            if (type) state->content_type = type;
            // The header callback, on this thread too, has seen the whole head by now.
            state->retry_after = state->prepared->result.retry_after;
        }
        if (!state->pending.append(data, n)) {
            state->prepared->overflow = true;
            return 0;
        }
        wake = state->take_wake();
    }
    if (wake) wake();
    return n;
}

// Waits (on the caller's executor) until `ready` holds for `state`.
template <typename Ready>
asio::awaitable<void> wait_for(const std::shared_ptr<UpstreamStream::State>& state, Ready ready) {
    for (;;) {
        {
            const std::lock_guard lock(state->mutex);
            if (ready(*state)) co_return;
        }
        auto initiate = [&](auto handler) {
            auto slot = asio::get_associated_cancellation_slot(handler);
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            auto wake = [shared] {
                const auto executor = asio::get_associated_executor(*shared);
                asio::post(executor, [shared]() mutable { (*shared)(); });
            };
            if (slot.is_connected())
                slot.assign([weak = std::weak_ptr<UpstreamStream::State>(state)](asio::cancellation_type) {
                    if (auto s = weak.lock()) UpstreamCalls::cancel(*s);
                });
            std::unique_lock lock(state->mutex);
            if (ready(*state)) {
                lock.unlock();
                wake();
            } else {
                state->wake = std::move(wake);
            }
        };
        co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(initiate, asio::use_awaitable);
    }
}

}  // namespace

UpstreamStream::UpstreamStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
UpstreamStream::~UpstreamStream() {
    if (state_) UpstreamCalls::cancel(*state_);
}
UpstreamStream::UpstreamStream(UpstreamStream&&) noexcept = default;
UpstreamStream& UpstreamStream::operator=(UpstreamStream&&) noexcept = default;

asio::awaitable<std::optional<WipingBuffer>> UpstreamStream::next() {
    co_await wait_for(state_, [](const State& s) { return !s.pending.empty() || s.ended; });
    const std::lock_guard lock(state_->mutex);
    if (state_->pending.empty()) co_return std::nullopt;
    co_return std::exchange(state_->pending, WipingBuffer(state_->max_buffered));
}

asio::awaitable<bool> UpstreamStream::answered() {
    co_await wait_for(state_, [](const State& s) { return s.head || s.ended; });
    const std::lock_guard lock(state_->mutex);
    co_return state_->head;
}

long UpstreamStream::status() const {
    const std::lock_guard lock(state_->mutex);
    return state_->status;
}

std::string UpstreamStream::content_type() const {
    const std::lock_guard lock(state_->mutex);
    return state_->content_type;
}

std::optional<std::string> UpstreamStream::retry_after() const {
    const std::lock_guard lock(state_->mutex);
    return state_->retry_after;
}

const UpstreamResult& UpstreamStream::result() const {
    static const UpstreamResult running(0);
    const std::lock_guard lock(state_->mutex);
    return state_->result ? *state_->result : running;
}

UpstreamCalls::UpstreamCalls() : impl_(std::make_shared<Impl>()) {}

UpstreamCalls::~UpstreamCalls() {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->quitting = true;
    }
    curl_multi_wakeup(impl_->multi.get());
    impl_->thread.join();
    // Calls submitted but never added end here.
    for (auto& call : impl_->to_add) call->complete(ended(0, "router stopping"));
}

asio::awaitable<UpstreamResult> UpstreamCalls::post_chat_completion(const UpstreamSettings& settings,
                                                                    std::string_view json_body) {
    return impl_->call(
        prepare_call(settings, completions_url(settings.base_url), json_body, settings.timeout, settings.max_answer_bytes));
}

UpstreamStream UpstreamCalls::open_stream(const UpstreamSettings& settings, std::string_view json_body,
                                          std::size_t max_buffered) {
    auto state = std::make_shared<UpstreamStream::State>(max_buffered);
    state->body = std::string(json_body);
    state->calls = impl_;
    // No bound on the whole call: a stream may run for as long as it moves.
    UpstreamSettings streaming = settings;
    auto prepared = prepare_call(streaming, completions_url(settings.base_url), state->body, settings.timeout,
                                 settings.max_answer_bytes);
    CURL* const easy = prepared->easy.get();
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 0L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::max<long long>(1, std::chrono::ceil<std::chrono::seconds>(settings.timeout).count())));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_stream_data);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, state.get());
    state->prepared = prepared.get();

    auto call = std::make_shared<Call>();
    call->prepared = std::move(prepared);
    call->deliver = [state](UpstreamResult result) {
        std::function<void()> wake;
        {
            const std::lock_guard lock(state->mutex);
            if (!state->head && result.outcome == UpstreamResult::Outcome::answered) {
                state->head = true;
                state->status = result.http_status;
            }
            state->ended = true;
            state->result.emplace(std::move(result));
            wake = state->take_wake();
        }
        if (wake) wake();
    };
    state->call = call;
    impl_->submit(std::move(call));
    return UpstreamStream(std::move(state));
}

void UpstreamCalls::cancel(UpstreamStream::State& state) {
    const auto calls = state.calls.lock();
    const auto call = state.call.lock();
    if (calls && call) calls->cancel(call);
}

asio::awaitable<UpstreamResult> UpstreamCalls::get_models(const UpstreamSettings& settings,
                                                          std::chrono::milliseconds timeout) {
    return impl_->call(prepare_call(settings, models_url(settings.base_url), std::nullopt,
                                    std::min(timeout, settings.timeout), kMaxModelListBytes));
}

}  // namespace veilrelay_router
