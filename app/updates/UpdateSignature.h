#pragma once

#include <filesystem>
#include <functional>
#include <string>

// Ed25519 signatures of update archives (libsodium). Keys and signatures travel as Base64 text:
// the public key in the app's Info.plist, signatures in the feed's enclosure.
namespace brimo::app::updates {

struct SigningKeyPair {
    std::string publicKey; // Base64 of 32 bytes
    std::string secretKey; // Base64 of 64 bytes; keep it out of the source tree
};

SigningKeyPair generateSigningKeyPair();

// The Base64 signature of the file's bytes. Throws std::runtime_error (unreadable file, bad key).
std::string signFile(const std::filesystem::path& file, const std::string& secretKey);

// Whether `text` is the Base64 of an Ed25519 public key.
bool isPublicKey(const std::string& text);

// Whether `signature` is the key's signature of the regular file open at `fd`, from its current
// position to the end, so that what is checked is exactly what is later unpacked. The file is
// mapped, not copied into memory; the position does not move.
bool verifyDescriptor(int fd, const std::string& signature, const std::string& publicKey);

// The same check on a worker thread: plain Ed25519 has to see the whole message at once, and an
// archive of hundreds of megabytes takes long enough to freeze the app. `done` gets the answer on
// the main thread through its event loop, never from inside this call. The worker checks a
// duplicate of `fd`, so the caller may close it at once.
void verifyDescriptorInBackground(int fd, std::string signature, std::string publicKey,
                                  std::function<void(bool)> done);

} // namespace brimo::app::updates
