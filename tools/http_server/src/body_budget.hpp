#pragma once
// One memory budget for the request bodies a server holds at once, over all
// its connections and threads: a body takes its share before its bytes are
// read, and gives it back when it is released.
#include <atomic>
#include <cstddef>

namespace ossara::http_server {

class BodyBudget {
public:
    explicit BodyBudget(std::size_t limit) : limit_(limit) {}
    BodyBudget(const BodyBudget&) = delete;
    BodyBudget& operator=(const BodyBudget&) = delete;

    // Takes `bytes` if they fit beside what is taken; whether they did.
    bool take(std::size_t bytes) {
        std::size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ - used) return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    void give_back(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

private:
    const std::size_t limit_;
    std::atomic<std::size_t> used_{0};
};

// What one request holds of a budget; all of it goes back when this ends.
class BodyShare {
public:
    explicit BodyShare(BodyBudget& budget) : budget_(budget) {}
    ~BodyShare() { release(); }
    BodyShare(const BodyShare&) = delete;
    BodyShare& operator=(const BodyShare&) = delete;

    // Holds `bytes` in all (never less than now); whether the budget had them.
    bool grow_to(std::size_t bytes) {
        if (bytes <= held_) return true;
        if (!budget_.take(bytes - held_)) return false;
        held_ = bytes;
        return true;
    }
    void release() {
        budget_.give_back(held_);
        held_ = 0;
    }

private:
    BodyBudget& budget_;
    std::size_t held_ = 0;
};

}  // namespace ossara::http_server
