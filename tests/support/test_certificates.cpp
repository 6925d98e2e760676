#include "support/test_certificates.hpp"

#include <memory>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace tessarin::test {

namespace {

struct Issued : TestCertificates::Server {
    std::shared_ptr<EVP_PKEY> keyPair;
    std::shared_ptr<X509> certificate;
};

template <class Write, class Object>
std::string pem(Write write, Object* object) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    write(bio.get(), object);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// A fresh P-256 key with a certificate for `name`: a server's for `altNames`, or an authority's
// without them; signed by `issuer`, or by itself without one.
Issued issue(const char* name, const char* altNames, const Issued* issuer) {
    static long serial = 1;
    Issued made;
    made.keyPair.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    made.certificate.reset(X509_new(), X509_free);
    X509* certificate = made.certificate.get();
    X509* signer = issuer ? issuer->certificate.get() : certificate;
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, made.keyPair.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(signer));
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension =
        altNames
            ? X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames)
            : X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    X509_sign(certificate, (issuer ? issuer->keyPair : made.keyPair).get(), EVP_sha256());
    made.chain = pem(PEM_write_bio_X509, certificate);
    made.key = pem(
        [](BIO* bio, EVP_PKEY* key) {
            return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
        },
        made.keyPair.get());
    return made;
}

}  // namespace

const TestCertificates::Made& TestCertificates::made() {
    static const Made made = [] {
        const char* loopback = "DNS:localhost,IP:127.0.0.1,IP:::1";
        const Issued authority = issue("tessarin test CA", nullptr, nullptr);
        const Issued rogue = issue("tessarin test rogue CA", nullptr, nullptr);
        return Made{authority.chain, issue("localhost", loopback, &authority),
                    issue("elsewhere.example", "DNS:elsewhere.example", &authority),
                    issue("localhost", loopback, &rogue)};
    }();
    return made;
}

}  // namespace tessarin::test
