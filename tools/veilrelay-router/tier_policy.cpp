#include "tier_policy.hpp"

#include "text_file.hpp"

#include <router_protocol/request_headers.hpp>

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace veilrelay_router {

namespace {
constexpr std::size_t kMaxFileSize = 1 << 20;
constexpr std::string_view kAnyModel = "*";
}  // namespace

TierPolicy TierPolicy::load(const std::filesystem::path& file) {
    try {
        return from_json_text(read_text_file(file, kMaxFileSize));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("tier policy " + file.string() + ": " + e.what());
    }
}

TierPolicy TierPolicy::from_json_text(std::string_view text) {
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded()) throw std::runtime_error("not valid JSON");
    if (!doc.is_object()) throw std::runtime_error("must be a JSON object mapping tiers to model lists");
    TierPolicy policy;
    for (const auto& [tier, models] : doc.items()) {
        if (!ossara::router_protocol::is_known_tier(tier))
            throw std::runtime_error("unknown tier '" + tier + "' (tiers: standard, high, maximum)");
        if (!models.is_array()) throw std::runtime_error("the models of tier '" + tier + "' must be an array");
        auto& allowed = policy.models_[tier];
        for (const auto& model : models) {
            if (!model.is_string())
                throw std::runtime_error("the models of tier '" + tier + "' must be strings");
            allowed.insert(model.get<std::string>());
        }
    }
    return policy;
}

bool TierPolicy::allows(std::string_view tier, std::string_view model) const {
    const auto it = models_.find(tier);
    if (it == models_.end()) return false;
    return it->second.contains(kAnyModel) || it->second.contains(model);
}

}  // namespace veilrelay_router
