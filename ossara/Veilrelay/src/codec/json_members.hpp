#pragma once
// Growing the member list of a received JSON object without leaving its
// text behind in freed memory.
//
// A JSON object's members are a std::vector of (const name, value) pairs.
// When such a vector grows it copies its elements (a const name cannot be
// moved, so the pair's move may throw and the vector copies instead): every
// value is deep-copied, and the old block is freed with the names and the
// values' strings still in it. For an answer that is decrypted text. These
// functions grow the vector by moving the values and wiping the old names.
#include <ossara/Veilrelay.hpp>

#include <cstddef>
#include <string>

namespace ossara::detail {

// Makes room for `extra` more members. When the vector has to grow, the
// values move to a new vector of the final size and the names left in the
// old one are wiped before it is freed.
void reserve_members(json::object_t& members, std::size_t extra);

// The value of the member `name`: the existing one (a repeated name keeps
// its first place, as nlohmann's parser does), or a new null member at the
// end, made room for as reserve_members does (doubling the vector).
json& member_slot(json::object_t& members, const std::string& name);

}  // namespace ossara::detail
