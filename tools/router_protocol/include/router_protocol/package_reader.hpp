#pragma once
// Reads a request package from its body without building a document of it.
// A package has one shape: an object of string members and one nested
// object (encrypted_payload) of string members. The reader walks the body
// once, keeps only the members it knows, and refuses at the first byte that
// leaves that shape: any other container, nesting, too many members, or a
// known member longer than it can be. What it keeps are views into the
// body (a copy only for a string written with escapes), so a hostile body
// costs nothing beyond its own bytes.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ossara::router_protocol {

enum class PackageMember { version, algorithm, encrypted_aes_key, ciphertext, nonce, tag };

class PackageMembers {
public:
    // The member's text (its escapes undone), or nothing when the package has none.
    std::optional<std::string_view> get(PackageMember member) const;
    // The same, PackageError("missing member <name>") when absent.
    std::string_view require(PackageMember member) const;
    bool has_encrypted_payload() const { return encrypted_payload_; }

private:
    friend class PackageScanner;
    struct Value {
        bool present = false;
        bool escaped = false;
        std::string_view raw;   // into the body, when written without escapes
        std::string unescaped;  // when written with escapes
    };
    std::array<Value, 6> values_;
    bool encrypted_payload_ = false;
};

// The limits of the shape: members per object, bytes of a member name, and
// the longest text of each short member (a wrapped key for RSA keys of up
// to 16384 bits, with room to spare).
inline constexpr std::size_t kMaxPackageMembers = 16;
inline constexpr std::size_t kMaxMemberNameBytes = 64;
inline constexpr std::size_t kMaxLabelBytes = 64;           // version, algorithm
inline constexpr std::size_t kMaxWrappedKeyBytes = 8192;    // encrypted_aes_key
inline constexpr std::size_t kMaxNonceOrTagBytes = 1024;    // nonce, tag

// The package's members. PackageError when the body is not JSON ("body is
// not JSON"), not an object ("package is not a JSON object"), or leaves the
// shape. Members the format does not know are skipped when they are
// strings, numbers, true, false or null, and refused when they are arrays
// or objects. Whether the members the format requires are there is the
// caller's to check (require()). The body must outlive the result.
PackageMembers read_package(std::string_view body);

const char* member_name(PackageMember member);

}  // namespace ossara::router_protocol
