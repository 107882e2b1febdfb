#include "tls_identity.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace oru::sim {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509 *cert) const { X509_free(cert); }
};
struct ExtFree {
    void operator()(X509_EXTENSION *ext) const { X509_EXTENSION_free(ext); }
};
struct FileClose {
    void operator()(FILE *file) const { fclose(file); }
};

std::string openssl_error(const char *step) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return std::string(step) + ": " + text;
}

std::unique_ptr<X509, X509Free> self_signed(EVP_PKEY *key, const std::string &address, std::string &why) {
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!cert) {
        why = openssl_error("X509_new");
        return nullptr;
    }
    uint64_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char *>(&serial), sizeof serial);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("oru-platform-sim"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(address.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    std::string san = "IP:" + address;
    std::unique_ptr<X509_EXTENSION, ExtFree> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str()));
    if (ext) X509_add_ext(cert.get(), ext.get(), -1); // a host name address has no IP entry
    ERR_clear_error();
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) {
        why = openssl_error("X509_sign");
        return nullptr;
    }
    return cert;
}

} // namespace

ServerContext make_server_context(const std::string &address, const std::string &pem_path,
                                  std::string &why) {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
    if (!key) {
        why = openssl_error("EVP_EC_gen");
        return nullptr;
    }
    auto cert = self_signed(key.get(), address, why);
    if (!cert) return nullptr;
    ServerContext context(SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_use_certificate(context.get(), cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
        why = openssl_error("server context");
        return nullptr;
    }
    if (!pem_path.empty()) {
        std::unique_ptr<FILE, FileClose> out(fopen(pem_path.c_str(), "we"));
        if (!out || PEM_write_X509(out.get(), cert.get()) != 1) {
            why = "cannot write the certificate to " + pem_path;
            return nullptr;
        }
    }
    return context;
}

} // namespace oru::sim
