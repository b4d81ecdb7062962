#include "crypto.h"

#include <Poco/Crypto/Cipher.h>
#include <Poco/Crypto/CipherFactory.h>
#include <Poco/Crypto/CipherKey.h>

#include "build_constants.h"

namespace velmora::Utils::Crypto {
namespace {

constexpr int kKeyDerivationRounds = 2000;

// Derived on every call: the handful of secrets makes caching not worth holding
// key material in memory.
Poco::Crypto::Cipher::Ptr makeCipher() {
    Poco::Crypto::CipherKey key("aes-256-cbc", ENCRYPTION_KEY, "", kKeyDerivationRounds, "md5");
    return Poco::Crypto::CipherFactory::defaultFactory().createCipher(key);
}

}  // namespace

std::string encrypt(const std::string& plain) {
    return makeCipher()->encryptString(plain, Poco::Crypto::Cipher::ENC_BASE64);
}

std::string decrypt(const std::string& encoded) {
    return makeCipher()->decryptString(encoded, Poco::Crypto::Cipher::ENC_BASE64);
}

}  // namespace velmora::Utils::Crypto
