#pragma once

#include <filesystem>
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

// Whether `signature` is the key's signature of everything readable from `fd` (read from its
// current position to the end), so that what is checked is exactly what is later unpacked.
bool verifyDescriptor(int fd, const std::string& signature, const std::string& publicKey);

} // namespace brimo::app::updates
