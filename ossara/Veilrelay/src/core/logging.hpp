#pragma once
// The client's logger "ossara.Veilrelay", registered in spdlog's registry on
// first use (default: level warn, one stderr sink).
#include <spdlog/logger.h>

namespace ossara::detail {
spdlog::logger& log();
}
