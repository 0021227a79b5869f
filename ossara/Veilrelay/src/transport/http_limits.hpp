#pragma once
// Time limits of one HTTP exchange. Clients use 60 s each; tests shorten them.
#include <chrono>

namespace ossara::detail {

struct HttpLimits {
    std::chrono::milliseconds connect{std::chrono::seconds(60)};
    std::chrono::seconds low_speed_time{60};
};

}  // namespace ossara::detail
