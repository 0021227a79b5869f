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

// Whether a Retry-After value may be repeated in a header of ours: 1 to 64
// printable ASCII characters (the router relays the model server's, the
// proxy the router's).
bool is_relayable_retry_after(std::string_view value);

}  // namespace ossara::router_protocol
