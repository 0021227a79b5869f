#include "upstream_calls.hpp"

#include "prepared_call.hpp"

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

namespace veilrelay_router {

namespace {

struct MultiFree {
    void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};

// A call handed to the multi thread and the way back to its caller.
struct Call {
    std::unique_ptr<PreparedCall> prepared;
    std::function<void(UpstreamResult)> deliver;
    std::atomic<bool> delivered{false};

    void complete(UpstreamResult result) {
        if (!delivered.exchange(true)) deliver(std::move(result));
    }
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

asio::awaitable<UpstreamResult> UpstreamCalls::get_models(const UpstreamSettings& settings,
                                                          std::chrono::milliseconds timeout) {
    return impl_->call(prepare_call(settings, models_url(settings.base_url), std::nullopt,
                                    std::min(timeout, settings.timeout), kMaxModelListBytes));
}

}  // namespace veilrelay_router
