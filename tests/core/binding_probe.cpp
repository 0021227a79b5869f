// Constructs a client and reports whether it uses secure memory; with a
// private-key file as argument (or several) it also loads each (which locks, zeroes
// and unlocks a copy of it through the secure-memory handler). Run by
// binding_test against a copy of libVeilrelay; the library's own warning
// (default logger, stderr) is what the test reads.
#include <ossara/Veilrelay.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    ossara::Veilrelay client("https://router.example", false, true);
    std::printf("use_secure_memory=%d\n", client.use_secure_memory() ? 1 : 0);
    for (int i = 1; i < argc; ++i) client.load_keys(argv[i]);
    if (argc > 1) std::printf("key_loaded=%d\n", client.private_key() != nullptr ? 1 : 0);
    return 0;
}
