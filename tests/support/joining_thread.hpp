#pragma once
// A thread joined when it goes out of scope (std::jthread without the stop
// token, which not every C++ library has).
#include <thread>
#include <utility>

namespace ossara::testing {

class JoiningThread {
public:
    template <class Function>
    explicit JoiningThread(Function&& function) : _thread(std::forward<Function>(function)) {}
    JoiningThread(JoiningThread&&) noexcept = default;
    JoiningThread& operator=(JoiningThread&&) = delete;
    ~JoiningThread() {
        if (_thread.joinable()) _thread.join();
    }
    void join() { _thread.join(); }

private:
    std::thread _thread;
};

}  // namespace ossara::testing
