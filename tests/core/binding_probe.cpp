// Constructs a client and reports whether it uses secure memory. Run by
// binding_test against a copy of libVeilrelay; the library's own warning
// (default logger, stderr) is what the test reads.
#include <ossara/Veilrelay.hpp>

#include <cstdio>

int main() {
    const ossara::Veilrelay client("https://router.example", false, true);
    std::printf("use_secure_memory=%d\n", client.use_secure_memory() ? 1 : 0);
    return 0;
}
