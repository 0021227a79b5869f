// The process-wide handler: created on first use, replaced by the two
// switches, shared by every caller and buffer that obtained it.
#include "detail/logging.hpp"
#include "detail/process_state.hpp"

#include <ossara/Hushvault.hpp>

#include <atomic>
#include <mutex>

namespace ossara {
namespace {

// Published only once fully constructed; reads outside the mutex are atomic.
std::atomic<std::shared_ptr<Hushvault>> _secure_memory;
// Serialises creating and replacing the handler; never held while a guarded
// scope runs, and nothing under it takes it again.
std::mutex _secure_memory_lock;

}  // namespace

std::shared_ptr<Hushvault> _get_secure_memory() {
    if (auto current = _secure_memory.load(std::memory_order_acquire)) return current;
    const std::lock_guard<std::mutex> guard(_secure_memory_lock);
    auto current = _secure_memory.load(std::memory_order_acquire);
    if (!current) {
        current = std::make_shared<Hushvault>();
        _secure_memory.store(current, std::memory_order_release);
    }
    return current;
}

nlohmann::ordered_json get_memory_protection_info() { return _get_secure_memory()->get_protection_info(); }

void enable_secure_memory() {
    {
        const std::lock_guard<std::mutex> guard(_secure_memory_lock);
        _secure_memory.store(std::make_shared<Hushvault>(true), std::memory_order_release);
    }
    detail::log().info("Secure memory operations re-enabled globally");
}

void disable_secure_memory() {
    {
        const std::lock_guard<std::mutex> guard(_secure_memory_lock);
        _secure_memory.store(std::make_shared<Hushvault>(false), std::memory_order_release);
    }
    detail::log().info("Secure memory operations disabled globally");
}

namespace detail {

void set_secure_memory_for_tests(std::shared_ptr<Hushvault> handler) {
    const std::lock_guard<std::mutex> guard(_secure_memory_lock);
    _secure_memory.store(std::move(handler), std::memory_order_release);
}

}  // namespace detail
}  // namespace ossara
