// Self-signed certificates made at test time with OpenSSL, so no test
// carries a key in the tree: an EC P-256 key and a certificate whose
// subjectAltName is the given address or name.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>
#include <string>

// san: "IP:127.0.0.1" or "DNS:example.org".
inline void makeSelfSigned(const std::string& certFile, const std::string& keyFile, const std::string& san)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr)
        throw std::runtime_error("cannot make a test key");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("upd test"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
    if (ext == nullptr)
        throw std::runtime_error("bad subjectAltName " + san);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(cert, key, EVP_sha256());

    FILE* c = std::fopen(certFile.c_str(), "w");
    FILE* k = std::fopen(keyFile.c_str(), "w");
    bool ok = c != nullptr && k != nullptr && PEM_write_X509(c, cert) == 1 &&
              PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (c != nullptr)
        std::fclose(c);
    if (k != nullptr)
        std::fclose(k);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok)
        throw std::runtime_error("cannot write the test certificate");
}
