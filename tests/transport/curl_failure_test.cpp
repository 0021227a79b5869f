#include "transport/curl_failure.hpp"

#include <gtest/gtest.h>

namespace {

using ossara::detail::classify_curl_code;
using ossara::detail::HttpFailure;

struct Row {
    int code;
    HttpFailure expected;
};

class CurlFailureTable : public ::testing::TestWithParam<Row> {};

TEST_P(CurlFailureTable, MapsCodeToFailureKind) {
    EXPECT_EQ(classify_curl_code(GetParam().code), GetParam().expected) << "curl code " << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(
    AllRows, CurlFailureTable,
    ::testing::Values(
        // resolution, refusal, TLS handshake and certificate problems
        Row{6, HttpFailure::could_not_connect}, Row{7, HttpFailure::could_not_connect},
        Row{35, HttpFailure::could_not_connect}, Row{60, HttpFailure::could_not_connect},
        Row{51, HttpFailure::could_not_connect}, Row{53, HttpFailure::could_not_connect},
        Row{54, HttpFailure::could_not_connect}, Row{58, HttpFailure::could_not_connect},
        Row{59, HttpFailure::could_not_connect}, Row{77, HttpFailure::could_not_connect},
        Row{80, HttpFailure::could_not_connect}, Row{83, HttpFailure::could_not_connect},
        Row{90, HttpFailure::could_not_connect}, Row{91, HttpFailure::could_not_connect},
        // any limit
        Row{28, HttpFailure::timeout},
        // an open connection broke
        Row{55, HttpFailure::network}, Row{56, HttpFailure::network},
        // closed without answer, mid-body, and the rest
        Row{52, HttpFailure::other}, Row{18, HttpFailure::other}, Row{1, HttpFailure::other},
        Row{3, HttpFailure::other}, Row{23, HttpFailure::other}, Row{47, HttpFailure::other},
        Row{0, HttpFailure::other}, Row{-1, HttpFailure::other}, Row{9999, HttpFailure::other}));

}  // namespace
