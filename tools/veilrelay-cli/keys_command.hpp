#pragma once
// `veilrelay keys generate` and `veilrelay keys show`.
#include "key_store.hpp"

#include <iosfwd>

namespace veilrelay_cli {

// Generates a key pair into options.dir (or the default key directory). An
// existing pair is replaced only with `force`; otherwise that is a UsageError.
// Writes the new key's fingerprint and location to `out`.
void run_keys_generate(const KeyOptions& options, bool force, bool animate, std::ostream& out);

// Writes the public key PEM and its SHA-256 fingerprint to `out`. Reads
// public_key.pem; when only private_key.pem exists, the public key is derived
// from it (which needs --password-file for an encrypted key).
void run_keys_show(const KeyOptions& options, std::ostream& out);

}  // namespace veilrelay_cli
