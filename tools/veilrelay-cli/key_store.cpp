#include "key_store.hpp"

#include "progress_indicator.hpp"
#include "text_input.hpp"

#include <cstdlib>

namespace veilrelay_cli {

namespace fs = std::filesystem;

fs::path default_key_dir(const char* xdg_data_home, const char* home) {
    if (xdg_data_home != nullptr && *xdg_data_home != '\0' && fs::path(xdg_data_home).is_absolute())
        return fs::path(xdg_data_home) / "veilrelay" / "keys";
    if (home != nullptr && *home != '\0') return fs::path(home) / ".local" / "share" / "veilrelay" / "keys";
    return {};
}

#if defined(_WIN32)
// Per-user data that does not roam with the profile: %LOCALAPPDATA%\veilrelay\keys,
// read as wide characters (a user name need not fit the ANSI code page).
fs::path default_key_dir() {
    const wchar_t* const local = ::_wgetenv(L"LOCALAPPDATA");
    if (local != nullptr && *local != L'\0' && fs::path(local).is_absolute()) return fs::path(local) / "veilrelay" / "keys";
    return default_key_dir(nullptr, std::getenv("HOME"));
}
#else
fs::path default_key_dir() { return default_key_dir(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")); }
#endif

fs::path private_key_path(const fs::path& dir) { return dir / "private_key.pem"; }
fs::path public_key_path(const fs::path& dir) { return dir / "public_key.pem"; }

bool has_key_pair(const fs::path& dir) {
    std::error_code ec;
    return !dir.empty() && fs::is_regular_file(private_key_path(dir), ec);
}

void make_key_dir(const fs::path& dir) {
    if (fs::create_directories(dir)) fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
}

void load_key_pair(ossara::Veilrelay& client, const fs::path& dir, const std::optional<std::string>& password) {
    client.load_keys(private_key_path(dir).string(), std::nullopt, password);
}

void generate_key_pair(ossara::Veilrelay& client, const std::optional<fs::path>& dir,
                       const std::optional<std::string>& password, bool animate) {
    if (dir) make_key_dir(*dir);
    const ProgressIndicator progress("generating a 4096-bit RSA key pair", animate);
    if (dir)
        client.generate_keys(true, dir->string(), password);
    else
        client.generate_keys();
}

std::optional<std::string> read_password(const KeyOptions& options) {
    if (!options.password_file) return std::nullopt;
    return read_secret_file(*options.password_file, "password");
}

KeySource provide_keys(ossara::Veilrelay& client, const KeyOptions& options, bool animate) {
    std::optional<std::string> password = read_password(options);
    const WipeOnExit wipe_password(password);
    KeySource source = KeySource::generated_in_memory;
    if (options.dir) {
        if (has_key_pair(*options.dir)) {
            load_key_pair(client, *options.dir, password);
            source = KeySource::loaded;
        } else {
            generate_key_pair(client, options.dir, password, animate);
            source = KeySource::generated_and_saved;
        }
    } else if (const fs::path dir = default_key_dir(); has_key_pair(dir)) {
        load_key_pair(client, dir, password);
        source = KeySource::loaded;
    } else {
        generate_key_pair(client, std::nullopt, std::nullopt, animate);
    }
    return source;
}

}  // namespace veilrelay_cli
