#include "transport/curl_failure.hpp"

#include <curl/curl.h>

namespace ossara::detail {

HttpFailure classify_curl_code(int code) noexcept {
    switch (static_cast<CURLcode>(code)) {
        // No connection came about: name resolution, refusal, TLS handshake,
        // certificate or key problems on either side.
        case CURLE_COULDNT_RESOLVE_HOST:          // 6
        case CURLE_COULDNT_CONNECT:               // 7
        case CURLE_SSL_CONNECT_ERROR:             // 35
        case CURLE_PEER_FAILED_VERIFICATION:      // 60
        case CURLE_SSL_ENGINE_NOTFOUND:           // 53
        case CURLE_SSL_ENGINE_SETFAILED:          // 54
        case CURLE_SSL_CERTPROBLEM:               // 58
        case CURLE_SSL_CIPHER:                    // 59
        case CURLE_SSL_CACERT_BADFILE:            // 77
        case CURLE_SSL_SHUTDOWN_FAILED:           // 80
        case CURLE_SSL_ISSUER_ERROR:              // 83
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:      // 90
        case CURLE_SSL_INVALIDCERTSTATUS:         // 91
        case CURLE_OBSOLETE51:                    // 51, the former peer-certificate code
            return HttpFailure::could_not_connect;
        // A limit ran out, in whatever phase.
        case CURLE_OPERATION_TIMEDOUT:  // 28
            return HttpFailure::timeout;
        // An open connection broke while sending or receiving.
        case CURLE_SEND_ERROR:  // 55
        case CURLE_RECV_ERROR:  // 56
            return HttpFailure::network;
        // The peer closed without an answer (52) or mid-body (18), and every
        // other code: a protocol violation or a local problem.
        default:
            return HttpFailure::other;
    }
}

}  // namespace ossara::detail
