// The process-wide handler: created on first use, replaced by the two
// switches, shared by every caller and buffer that obtained it.
#include "detail/logging.hpp"
#include "detail/process_state.hpp"

#include <ossara/Hushvault.hpp>

#include <mutex>
#include <utility>

namespace ossara {
namespace {

// The shared slot of the process-wide handler. A handler is published only
// once fully constructed, and each read or store of the slot is atomic with
// respect to the others. The slot's own mutex is held just for the pointer
// copy (libstdc++ 12's std::atomic<std::shared_ptr> is not race-free as far as
// ThreadSanitizer can tell, so a plain mutex it understands is used instead).
class HandlerSlot {
public:
    std::shared_ptr<Hushvault> load() const {
        const std::lock_guard<std::mutex> guard(_mutex);
        return _handler;
    }
    void store(std::shared_ptr<Hushvault> handler) {
        std::shared_ptr<Hushvault> previous;
        {
            const std::lock_guard<std::mutex> guard(_mutex);
            previous = std::exchange(_handler, std::move(handler));
        }
        // The replaced handler may be destroyed here, outside the slot's mutex.
    }

private:
    mutable std::mutex _mutex;
    std::shared_ptr<Hushvault> _handler;
};

HandlerSlot _secure_memory;
// Serialises creating and replacing the handler; never held while a guarded
// scope runs, and nothing under it takes it again.
std::mutex _secure_memory_lock;

}  // namespace

std::shared_ptr<Hushvault> _get_secure_memory() {
    if (auto current = _secure_memory.load()) return current;
    const std::lock_guard<std::mutex> guard(_secure_memory_lock);
    auto current = _secure_memory.load();
    if (!current) {
        current = std::make_shared<Hushvault>();
        _secure_memory.store(current);
    }
    return current;
}

nlohmann::ordered_json get_memory_protection_info() { return _get_secure_memory()->get_protection_info(); }

void enable_secure_memory() {
    {
        const std::lock_guard<std::mutex> guard(_secure_memory_lock);
        _secure_memory.store(std::make_shared<Hushvault>(true));
    }
    detail::vault_log().info("Secure memory operations re-enabled globally");
}

void disable_secure_memory() {
    {
        const std::lock_guard<std::mutex> guard(_secure_memory_lock);
        _secure_memory.store(std::make_shared<Hushvault>(false));
    }
    detail::vault_log().info("Secure memory operations disabled globally");
}

namespace detail {

void set_secure_memory_for_tests(std::shared_ptr<Hushvault> handler) {
    const std::lock_guard<std::mutex> guard(_secure_memory_lock);
    _secure_memory.store(std::move(handler));
}

}  // namespace detail
}  // namespace ossara
