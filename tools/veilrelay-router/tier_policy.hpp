#pragma once
// Which models each security tier may use. Read from a JSON object that maps
// a tier ("standard", "high", "maximum") to an array of model names; "*" in
// an array allows every model. A tier the file leaves out allows no model.
//
//   {"standard": ["llama-3-8b", "mistral-7b"], "high": ["llama-3-8b"], "maximum": []}
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace veilrelay_router {

class TierPolicy {
public:
    // std::runtime_error naming the file and the fault when the file cannot
    // be read, is not such an object, or names an unknown tier.
    static TierPolicy load(const std::filesystem::path& file);
    static TierPolicy from_json_text(std::string_view text);

    // `tier` must be a known tier.
    bool allows(std::string_view tier, std::string_view model) const;

private:
    std::map<std::string, std::set<std::string, std::less<>>, std::less<>> models_;
};

}  // namespace veilrelay_router
