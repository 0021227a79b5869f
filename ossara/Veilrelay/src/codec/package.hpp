#pragma once
// The encrypted package: writing request packages and checking received ones.
#include <ossara/Veilrelay.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::detail {

inline constexpr std::string_view kPackageVersion = "1.0";
inline constexpr std::string_view kPackageAlgorithm = "hybrid-aes256-rsa4096";

// Writes a request package in its wire form (members in the fixed order,
// base64 values) while the ciphertext is produced: the ciphertext is encoded
// piece by piece into the body, so it never exists whole beside it.
class PackageWriter {
public:
    // Reserves the whole package for a ciphertext of this size.
    explicit PackageWriter(std::size_t ciphertext_size);

    void append_ciphertext(std::span<const std::uint8_t> piece);
    void end_payload(std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> tag);
    std::vector<std::uint8_t> finish(std::span<const std::uint8_t> encrypted_aes_key) &&;

private:
    std::vector<std::uint8_t> text_;
    std::array<std::uint8_t, 3> carry_{};  // ciphertext bytes short of a whole base64 group
    std::size_t carried_ = 0;
};

// Serialises a request package in one go.
std::vector<std::uint8_t> write_package(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> tag,
                                        std::span<const std::uint8_t> encrypted_aes_key);

// A received package that passed the acceptance checks. The four encoded
// members are the raw JSON values (not necessarily strings: base64_member()
// raises TypeError for a value that is not a string). The ciphertext, the
// one large member, is usually not copied into the document: it is then a
// view into the body given to check_package(), which must outlive it.
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
    std::optional<std::string_view> borrowed_ciphertext;

    // The ciphertext's base64 text; ossara::TypeError when it is not a string.
    std::string_view ciphertext_text() const;
};

// Acceptance checks in order, each with its ValueError message: empty body,
// UTF-8, JSON, required members, version, algorithm, encrypted_payload an
// object, its members. A top-level value that is not an object is a ValueError too.
ReceivedPackage check_package(std::span<const std::uint8_t> body);
// The package may point into its body: a temporary body would leave it dangling.
ReceivedPackage check_package(std::vector<std::uint8_t>&& body) = delete;

// The text of a base64 member; ossara::TypeError when it is not a string.
std::string_view base64_member(const json& value);

}  // namespace ossara::detail
