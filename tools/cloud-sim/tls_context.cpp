#include "tls_context.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace orvix::cloudsim {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* pointer) const { Free(pointer); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

[[noreturn]] void fail(const std::string& what) {
    char detail[256] = "";
    ERR_error_string_n(ERR_get_error(), detail, sizeof detail);
    throw std::runtime_error(what + ": " + detail);
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1) {
        fail(std::string("cannot add certificate extension ") + value);
    }
}

// An EC P-256 key and a certificate signed by it, valid from an hour ago for a year.
std::pair<KeyPtr, CertPtr> selfSigned() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        fail("cannot generate a key");
    }
    CertPtr cert(X509_new());
    unsigned char serial[8];
    if (!cert || RAND_bytes(serial, sizeof serial) != 1) {
        fail("cannot create a certificate");
    }
    serial[0] &= 0x7f;  // a positive serial number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);
    X509_set_version(cert.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        fail("cannot sign the certificate");
    }
    return {std::move(key), std::move(cert)};
}

void writePem(const std::string& path, X509* cert) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), std::fclose);
    if (!file || PEM_write_X509(file.get(), cert) != 1) {
        throw std::runtime_error("cannot write the certificate to " + path);
    }
}

}  // namespace

Poco::Net::Context::Ptr serverContext(const TlsOptions& options) {
    using Poco::Net::Context;
    if (!options.certFile.empty()) {
        return new Context(Context::TLS_SERVER_USE, options.keyFile, options.certFile, "",
                           Context::VERIFY_NONE);
    }
    auto [key, cert] = selfSigned();
    if (!options.certOut.empty()) {
        writePem(options.certOut, cert.get());
    }
    Context::Ptr context = new Context(Context::TLS_SERVER_USE, "", Context::VERIFY_NONE);
    SSL_CTX* ssl = context->sslContext();
    if (SSL_CTX_use_certificate(ssl, cert.get()) != 1 || SSL_CTX_use_PrivateKey(ssl, key.get()) != 1 ||
        SSL_CTX_check_private_key(ssl) != 1) {
        fail("cannot install the certificate");
    }
    return context;
}

}  // namespace orvix::cloudsim
