#pragma once

#include <string>

// Encryption of the secret configuration values at rest: AES-256-CBC with key and
// IV derived from ENCRYPTION_KEY (EVP_BytesToKey, MD5, no salt, 2000 rounds),
// carried as Base64 text.
namespace velmora::Utils::Crypto {

// Base64 with a CR LF after every 72 characters.
std::string encrypt(const std::string& plain);
// Accepts Base64 with or without line breaks; throws on malformed input or a
// failed decryption.
std::string decrypt(const std::string& encoded);

}  // namespace velmora::Utils::Crypto
