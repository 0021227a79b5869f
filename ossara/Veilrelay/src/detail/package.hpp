#pragma once
// The encrypted package: writing request packages and checking received ones.
#include <ossara/Veilrelay.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::detail {

inline constexpr std::string_view kPackageVersion = "1.0";
inline constexpr std::string_view kPackageAlgorithm = "hybrid-aes256-rsa4096";

// Serialises a request package (members in the fixed order, base64 values).
std::vector<std::uint8_t> write_package(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> tag,
                                        std::span<const std::uint8_t> encrypted_aes_key);

// A received package that passed the acceptance checks. The four encoded
// members are the raw JSON values (not necessarily strings: base64_member()
// raises TypeError for a value that is not a string).
struct ReceivedPackage {
    ReceivedPackage() = default;
    ReceivedPackage(ReceivedPackage&&) noexcept = default;
    ReceivedPackage& operator=(ReceivedPackage&&) noexcept = default;
    // The member pointers point into `document`; a copy would point into the original.
    ReceivedPackage(const ReceivedPackage&) = delete;
    ReceivedPackage& operator=(const ReceivedPackage&) = delete;

    json document;
    const json* encrypted_aes_key = nullptr;
    const json* ciphertext = nullptr;
    const json* nonce = nullptr;
    const json* tag = nullptr;
    json processed_at;  // null when absent
    std::string algorithm;
};

// Acceptance checks in order, each with its ValueError message: empty body,
// UTF-8, JSON, required members, version, algorithm, encrypted_payload an
// object, its members. A top-level value that is not an object is a ValueError too.
ReceivedPackage check_package(std::span<const std::uint8_t> body);

// The text of a base64 member; ossara::TypeError when it is not a string.
std::string_view base64_member(const json& value);

}  // namespace ossara::detail
