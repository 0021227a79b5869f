#include "server_key.hpp"

#include "text_file.hpp"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace veilrelay_router {

namespace {

constexpr std::size_t kMaxKeyFile = 64 * 1024;

struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

void write_all(int fd, const char* data, std::size_t size, const std::filesystem::path& file) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category(), "cannot write " + file.string());
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string write_new_server_key(const std::filesystem::path& file) {
    const auto key = ossara::router_protocol::generate_rsa_key(kServerKeyBits);
    const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_secmem()));
    // PEM_write_bio_PrivateKey writes PKCS#8 ("BEGIN PRIVATE KEY").
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("cannot encode the private key");
    char* pem = nullptr;
    const long pem_len = BIO_get_mem_data(bio.get(), &pem);

    FileDescriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        if (errno == EEXIST) throw std::runtime_error(file.string() + " exists; not replacing a key");
        throw std::system_error(errno, std::generic_category(), "cannot create " + file.string());
    }
    if (::fchmod(fd.get(), 0600) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot set the mode of " + file.string());
    write_all(fd.get(), pem, static_cast<std::size_t>(pem_len), file);
    // On macOS only F_FULLFSYNC makes the drive write its cache; fsync where it cannot.
#if defined(F_FULLFSYNC)
    const bool synced = ::fcntl(fd.get(), F_FULLFSYNC) == 0 || ::fsync(fd.get()) == 0;
#else
    const bool synced = ::fsync(fd.get()) == 0;
#endif
    if (!synced || ::close(fd.release()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot write " + file.string());
    return ossara::router_protocol::public_key_pem(key.get());
}

ossara::router_protocol::EvpKey load_server_key(const std::filesystem::path& file) {
    const SecretText pem = read_secret_file(file, kMaxKeyFile);
    ossara::router_protocol::EvpKey key;
    try {
        key = ossara::router_protocol::load_private_key(pem.view());
    } catch (const ossara::router_protocol::PackageError&) {
        throw std::runtime_error(file.string() + " holds no readable PEM private key");
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        throw std::runtime_error(file.string() + " holds no RSA key");
    return key;
}

}  // namespace veilrelay_router
