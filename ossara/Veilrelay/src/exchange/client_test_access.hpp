#pragma once
// The test suite's access to a client's seams: shorter HTTP time limits and a
// probe on the secure encryption path. Not installed; only tests include it.
#include <ossara/Veilrelay.hpp>

#include "exchange/encrypt_probe.hpp"
#include "transport/http_limits.hpp"

namespace ossara::detail {

struct ClientTestAccess {
    static void set_http_limits(Veilrelay& client, HttpLimits limits) noexcept {
        client.connect_timeout_ = limits.connect;
        client.low_speed_time_ = limits.low_speed_time;
    }
    static void set_encrypt_probe(Veilrelay& client, EncryptProbe* probe) noexcept { client.encrypt_probe_ = probe; }
};

}  // namespace ossara::detail
