#include "codec/json_members.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <utility>

namespace ossara::detail {

void reserve_members(json::object_t& members, std::size_t extra) {
    if (members.capacity() - members.size() >= extra) return;
    json::object_t roomier;
    roomier.reserve(members.size() + extra);
    for (auto& [name, value] : members) roomier.emplace_back(name, std::move(value));
    for (auto& member : members) {
        // These elements are never used again, and wiping their names in
        // place is the only way to reach those bytes before they are freed.
        auto& name = const_cast<std::string&>(member.first);
        OPENSSL_cleanse(name.data(), name.size());
    }
    members.swap(roomier);
}

json& member_slot(json::object_t& members, const std::string& name) {
    const auto found = std::find_if(members.begin(), members.end(), [&](const auto& m) { return m.first == name; });
    if (found != members.end()) return found->second;
    if (members.size() == members.capacity()) reserve_members(members, std::max<std::size_t>(members.size(), 1));
    return members.emplace_back(name, nullptr).second;
}

}  // namespace ossara::detail
