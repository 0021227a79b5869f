#pragma once
// Generates a throw-away CA and a server certificate for 127.0.0.1 and
// localhost, signed by that CA, for HTTPS tests. Nothing is checked in.
#include <filesystem>

namespace ossara::testing {

struct TestCertificates {
    std::filesystem::path ca_file;    // the CA certificate (PEM): what a client trusts
    std::filesystem::path cert_file;  // the server certificate (PEM)
    std::filesystem::path key_file;   // the server's private key (PEM, PKCS#8)
};

enum class ServerKeyKind { p256, rsa2048 };

// Writes ca.pem, server.pem and server-key.pem into `dir` (which must exist);
// the server's key is of `kind` (the CA's is P-256).
// Throws std::runtime_error when OpenSSL fails.
TestCertificates make_test_certificates(const std::filesystem::path& dir, ServerKeyKind kind = ServerKeyKind::p256);

}  // namespace ossara::testing
