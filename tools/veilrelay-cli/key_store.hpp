#pragma once
// Where the tool keeps the client's RSA key pair, and how a client gets one.
//
// A key directory holds private_key.pem and public_key.pem as the library
// writes them. The tool uses, in this order:
//   1. the directory given with --keys: loaded when it holds a key pair,
//      otherwise a pair is generated and saved there;
//   2. the default directory ($XDG_DATA_HOME/veilrelay/keys, else
//      ~/.local/share/veilrelay/keys) when `veilrelay keys generate` has
//      filled it;
//   3. otherwise a pair generated in memory for this run only; nothing is
//      written to disk.
#include <ossara/Veilrelay.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace veilrelay_cli {

struct KeyOptions {
    std::optional<std::filesystem::path> dir;            // --keys
    std::optional<std::filesystem::path> password_file;  // --password-file
};

// The default key directory from the environment values given (nullptr for
// unset). XDG_DATA_HOME counts only when it is an absolute path. Without
// either, an empty path.
std::filesystem::path default_key_dir(const char* xdg_data_home, const char* home);
// The same, from the process environment; on Windows %LOCALAPPDATA%\veilrelay\keys
// (HOME as above when it is not set).
std::filesystem::path default_key_dir();

std::filesystem::path private_key_path(const std::filesystem::path& dir);
std::filesystem::path public_key_path(const std::filesystem::path& dir);
bool has_key_pair(const std::filesystem::path& dir);

// Creates `dir` (and its parents) when missing; a directory created here is
// made owner-only (0700), since it will hold a private key.
void make_key_dir(const std::filesystem::path& dir);

// Loads the pair from `dir`; the public key is derived from the private one,
// so a mismatched public_key.pem can never be sent.
void load_key_pair(ossara::Veilrelay& client, const std::filesystem::path& dir,
                   const std::optional<std::string>& password);

// Generates a 4096-bit pair with a progress indicator on stderr; with `dir`
// the pair is saved there (encrypted when a password is given).
void generate_key_pair(ossara::Veilrelay& client, const std::optional<std::filesystem::path>& dir,
                       const std::optional<std::string>& password, bool animate);

enum class KeySource { loaded, generated_and_saved, generated_in_memory };

// Gives `client` a key pair following the order described above.
KeySource provide_keys(ossara::Veilrelay& client, const KeyOptions& options, bool animate);

// The password from --password-file, if one was given.
std::optional<std::string> read_password(const KeyOptions& options);

}  // namespace veilrelay_cli
