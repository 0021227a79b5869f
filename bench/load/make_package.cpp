// Prepares what the load script replays against veilrelay-router: an RSA
// server key (2048-bit, so that 1000 unwraps measure the server rather than
// RSA), and one request package sealed for it with the public key of a
// client key pair. The router opens every copy alike; the load script does
// not read the answers, so the client's private key is thrown away.
//
//   make_package keygen SERVER_KEY.pem
//   make_package seal SERVER_PUBLIC.pem OUT_DIR   -> OUT_DIR/package.json, OUT_DIR/client_public.pem
#include <router_protocol/package_crypto.hpp>

#include <openssl/pem.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

namespace rp = ossara::router_protocol;

namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_all(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "keygen" && argc == 3) {
        const auto key = rp::generate_rsa_key(2048);
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(argv[2], "w"), &std::fclose);
        if (!file || PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
            throw std::runtime_error("cannot write the key");
        return 0;
    }
    if (command == "seal" && argc == 4) {
        const auto server = rp::load_public_key(read_all(argv[2]));
        const auto client = rp::generate_rsa_key(2048);
        const std::string payload =
            R"({"model":"load-model","messages":[{"role":"user","content":"Hello under load"}]})";
        write_all(std::string(argv[3]) + "/package.json", rp::seal_package(payload, server.get()).dump());
        write_all(std::string(argv[3]) + "/client_public.pem", rp::public_key_pem(client.get()));
        return 0;
    }
    std::cerr << "usage: make_package keygen FILE | make_package seal SERVER_PUBLIC.pem OUT_DIR\n";
    return 2;
} catch (const std::exception& e) {
    std::cerr << "make_package: " << e.what() << '\n';
    return 1;
}
