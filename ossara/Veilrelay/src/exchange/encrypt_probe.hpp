#pragma once
// Test seam: observes the buffers of the secure encryption path right after
// both guards were entered (sources must already be wiped by then).
#include <cstdint>
#include <span>

namespace ossara::detail {

class EncryptProbe {
public:
    virtual void guards_entered(std::span<const std::uint8_t> payload_source, std::span<const std::uint8_t> key_source,
                                std::span<const std::uint8_t> protected_payload,
                                std::span<const std::uint8_t> protected_key) = 0;

protected:
    ~EncryptProbe() = default;
};

}  // namespace ossara::detail
