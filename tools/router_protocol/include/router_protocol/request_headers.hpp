#pragma once
// Reading the headers of a secure completion request: the caller's public key
// arrives percent-encoded in X-Public-Key, and the tier in X-Security-Tier.
#include <string>
#include <string_view>

namespace ossara::router_protocol {

inline constexpr const char* kTiers[] = {"standard", "high", "maximum"};

// Undoes the client's percent-encoding; PackageError on a malformed escape.
std::string percent_decode(std::string_view text);

bool is_known_tier(std::string_view tier);

}  // namespace ossara::router_protocol
