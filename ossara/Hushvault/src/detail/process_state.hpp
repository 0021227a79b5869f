#pragma once
// Internal hooks on the module's process-wide state, for tests only.
#include <memory>

namespace ossara {
class Hushvault;
}

namespace ossara::detail {

// Installs `handler` as the process-wide handler, or forgets it (nullptr), as
// if the module had just been loaded. Tests use it to observe first-use
// creation and to run the guards over a handler of their own; nothing else
// may call it.
void set_secure_memory_for_tests(std::shared_ptr<Hushvault> handler);

}  // namespace ossara::detail
