// The router's package reader on any request body: it refuses with
// PackageError, or it read a JSON object whose members a JSON parser reads
// the same. It never accepts what is not JSON and never throws anything else.
#include "fuzz_check.hpp"

#include <router_protocol/package_crypto.hpp>
#include <router_protocol/package_reader.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

namespace rp = ossara::router_protocol;
using nlohmann::json;

std::optional<std::string> parsed_member(const json& package, rp::PackageMember member) {
    const bool nested = member == rp::PackageMember::ciphertext || member == rp::PackageMember::nonce ||
                        member == rp::PackageMember::tag;
    const auto payload = package.find("encrypted_payload");
    if (nested && payload == package.end()) return std::nullopt;
    const json& object = nested ? *payload : package;
    const auto it = object.find(rp::member_name(member));
    if (it == object.end()) return std::nullopt;
    OSSARA_FUZZ_CHECK(it->is_string());
    return it->get<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    std::optional<rp::PackageMembers> members;
    try {
        members.emplace(rp::read_package(body));
    } catch (const rp::PackageError&) {
        return 0;
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
    json parsed;
    try {
        parsed = json::parse(body);
    } catch (const json::out_of_range& e) {
        // A number beyond a double's range: the parser refuses it, the
        // reader skips it (it is no member of the format).
        OSSARA_FUZZ_CHECK(e.id == 406);
        return 0;
    } catch (const json::exception&) {
        ossara::fuzz::fail("the reader accepted what is not JSON");
    }
    OSSARA_FUZZ_CHECK(parsed.is_object());
    OSSARA_FUZZ_CHECK(members->has_encrypted_payload() == parsed.contains("encrypted_payload"));
    for (const auto member : {rp::PackageMember::version, rp::PackageMember::algorithm,
                              rp::PackageMember::encrypted_aes_key, rp::PackageMember::ciphertext,
                              rp::PackageMember::nonce, rp::PackageMember::tag})
        OSSARA_FUZZ_CHECK(members->get(member) == parsed_member(parsed, member));
    return 0;
}
