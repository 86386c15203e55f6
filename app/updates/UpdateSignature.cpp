#include "app/updates/UpdateSignature.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <sodium.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Plain Ed25519 over the whole archive (crypto_sign_detached), as the feed's signing tools
// produce it; the pre-hashed multi-part form would give different signatures for the same key.
namespace brimo::app::updates {

namespace {

using Bytes = std::vector<unsigned char>;

void initialise() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
}

std::string toBase64(const Bytes& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1); // the terminating NUL
    return text;
}

// Exactly `size` bytes, or none. Line breaks and spaces are allowed, as in a property list.
std::optional<Bytes> fromBase64(const std::string& text, size_t size) {
    Bytes bytes(size);
    size_t length = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), " \t\r\n", &length,
                          nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != size)
        return std::nullopt;
    return bytes;
}

} // namespace

SigningKeyPair generateSigningKeyPair() {
    initialise();
    Bytes publicKey(crypto_sign_PUBLICKEYBYTES);
    Bytes secretKey(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(publicKey.data(), secretKey.data());
    SigningKeyPair pair{toBase64(publicKey), toBase64(secretKey)};
    sodium_memzero(secretKey.data(), secretKey.size());
    return pair;
}

std::string signFile(const std::filesystem::path& file, const std::string& secretKey) {
    initialise();
    auto key = fromBase64(secretKey, crypto_sign_SECRETKEYBYTES);
    if (!key) throw std::runtime_error("not an Ed25519 secret key");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    const Bytes message{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) throw std::runtime_error("cannot read " + file.string());
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), key->data());
    sodium_memzero(key->data(), key->size());
    return toBase64(signature);
}

bool isPublicKey(const std::string& text) {
    return sodium_init() >= 0 && fromBase64(text, crypto_sign_PUBLICKEYBYTES).has_value();
}

namespace {

bool verifyFrom(int fd, off_t offset, const std::string& signature, const std::string& publicKey) {
    if (sodium_init() < 0) return false;
    const auto key = fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES);
    const auto expected = fromBase64(signature, crypto_sign_BYTES);
    struct stat status {};
    if (!key || !expected || offset < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        offset > status.st_size)
        return false;
    const auto size = static_cast<size_t>(status.st_size);
    if (size == 0) {
        const unsigned char none = 0;
        return crypto_sign_verify_detached(expected->data(), &none, 0, key->data()) == 0;
    }
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED) return false;
    const bool valid =
        crypto_sign_verify_detached(expected->data(), static_cast<unsigned char*>(mapped) + offset,
                                    size - static_cast<size_t>(offset), key->data()) == 0;
    ::munmap(mapped, size);
    return valid;
}

} // namespace

bool verifyDescriptor(int fd, const std::string& signature, const std::string& publicKey) {
    return verifyFrom(fd, ::lseek(fd, 0, SEEK_CUR), signature, publicKey);
}

void verifyDescriptorInBackground(int fd, std::string signature, std::string publicKey,
                                  std::function<void(bool)> done) {
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    QThreadPool::globalInstance()->start([copy, offset, signature = std::move(signature),
                                          publicKey = std::move(publicKey),
                                          done = std::move(done)]() mutable {
        const bool valid = copy >= 0 && verifyFrom(copy, offset, signature, publicKey);
        if (copy >= 0) ::close(copy);
        // The answer is handed over, and `done` destroyed, on the main thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [valid, done = std::move(done)] { done(valid); },
            Qt::QueuedConnection);
    });
}

} // namespace brimo::app::updates
