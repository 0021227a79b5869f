#include "keys_command.hpp"

#include "exit_codes.hpp"
#include "key_fingerprint.hpp"
#include "text_input.hpp"

#include <ossara/Veilrelay.hpp>

#include <ostream>

namespace veilrelay_cli {

namespace fs = std::filesystem;

namespace {

fs::path chosen_dir(const KeyOptions& options) {
    if (options.dir) return *options.dir;
    fs::path dir = default_key_dir();
    if (dir.empty()) throw UsageError("neither XDG_DATA_HOME nor HOME is set; name a key directory with --keys DIR");
    return dir;
}

std::string with_final_newline(std::string text) {
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    return text;
}

}  // namespace

void run_keys_generate(const KeyOptions& options, bool force, bool animate, std::ostream& out) {
    const fs::path dir = chosen_dir(options);
    if (has_key_pair(dir) && !force)
        throw UsageError("a key pair already exists in '" + dir.string() + "'; pass --force to replace it");
    std::optional<std::string> password = read_password(options);
    const WipeOnExit wipe_password(password);

    // Keys only; the client is never used for a request.
    ossara::Veilrelay client{std::string(ossara::Veilrelay::DEFAULT_ROUTER_URL)};
    generate_key_pair(client, dir, password, animate);
    out << "key pair written to " << dir.string() << (password ? " (private key encrypted)" : "") << '\n'
        << "SHA-256 fingerprint: " << public_key_fingerprint(client.public_key_pem().value_or("")) << '\n';
}

void run_keys_show(const KeyOptions& options, std::ostream& out) {
    const fs::path dir = chosen_dir(options);
    std::string pem;
    if (fs::is_regular_file(public_key_path(dir))) {
        pem = read_file(public_key_path(dir));
    } else if (has_key_pair(dir)) {
        std::optional<std::string> password = read_password(options);
        const WipeOnExit wipe_password(password);
        ossara::Veilrelay client{std::string(ossara::Veilrelay::DEFAULT_ROUTER_URL)};
        load_key_pair(client, dir, password);
        pem = client.public_key_pem().value_or("");
    } else {
        throw UsageError("no key pair in '" + dir.string() + "'; create one with 'veilrelay keys generate'");
    }
    const std::string fingerprint = public_key_fingerprint(pem);
    out << with_final_newline(std::move(pem)) << "SHA-256 fingerprint: " << fingerprint << '\n';
}

}  // namespace veilrelay_cli
