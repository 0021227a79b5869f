// secure_memory: the secure-memory library on its own.
//
// Shows what this machine can do (page locking, zeroing), then keeps a
// secret in a scoped guard: the guard copies it into a protected buffer,
// wipes the original at once, locks the copy's pages against swapping, and
// zeroes and unlocks the copy when the scope ends.
#include <ossara/Hushvault.hpp>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string_view>
#include <vector>

int main() {
    // The library logs through spdlog; raise its logger to see each step.
    if (auto logger = spdlog::get("ossara.Hushvault")) logger->set_level(spdlog::level::debug);

    std::cout << "protection: " << ossara::get_memory_protection_info().dump() << '\n';

    constexpr std::string_view text = "correct horse battery staple";
    std::vector<std::uint8_t> secret(text.begin(), text.end());

    {
        ossara::secure_bytearray guard(secret);  // copies, wipes `secret`, locks the copy
        const auto bytes = guard->data();
        std::cout << "locked: " << (guard.locked().value_or(false) ? "yes" : "no (zeroing only; see ulimit -l)") << '\n';
        std::cout << "inside the guard: " << std::string(bytes.begin(), bytes.end()) << '\n';
    }  // the copy is zeroed, then unlocked

    const bool wiped = std::all_of(secret.begin(), secret.end(), [](std::uint8_t b) { return b == 0; });
    std::cout << "original wiped: " << (wiped ? "yes" : "no") << '\n';
    return wiped ? 0 : 1;
}
