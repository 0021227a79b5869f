#pragma once
// Waiting for something a test can observe, instead of sleeping for a time
// that a slow machine or a sanitizer may not keep.
#include <chrono>
#include <thread>

namespace ossara::testing {

// Polls `done` until it holds or `limit` passes; whether it held.
template <class Condition>
bool eventually(Condition&& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

}  // namespace ossara::testing
