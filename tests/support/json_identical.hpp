#pragma once
// Strict equality of two JSON documents: same value, same types (unsigned,
// signed and float numbers are told apart), same member order, floats bit
// for bit (so -0.0 differs from 0.0 and a NaN equals the same NaN).
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstring>

namespace ossara::testing {

inline bool json_identical(const nlohmann::ordered_json& a, const nlohmann::ordered_json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_number_float()) {
        const double x = a.get<double>(), y = b.get<double>();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        auto j = b.items().begin();
        for (const auto& i : a.items()) {
            if (i.key() != j.key() || !json_identical(i.value(), j.value())) return false;
            ++j;
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t k = 0; k < a.size(); ++k)
            if (!json_identical(a[k], b[k])) return false;
        return true;
    }
    return a == b;
}

}  // namespace ossara::testing
