#include "support/test_certificates.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <boost/asio/ssl/context.hpp>

namespace tessarin::test {

namespace {

struct Issued {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;
};

// A fresh P-256 key with a certificate for `name`: a server's for `altNames`, or an authority's
// without them; signed by `issuer`, or by itself without one.
Issued issue(const char* name, const char* altNames, const Issued* issuer) {
    static long serial = 1;
    Issued made{{EVP_EC_gen("P-256"), EVP_PKEY_free}, {X509_new(), X509_free}};
    X509* certificate = made.certificate.get();
    X509* signer = issuer ? issuer->certificate.get() : certificate;
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, made.key.get());
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
    X509_sign(certificate, (issuer ? issuer : &made)->key.get(), EVP_sha256());
    return made;
}

std::string pem(X509* certificate) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), certificate);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

constexpr auto loopbackNames = "DNS:localhost,IP:127.0.0.1,IP:::1";

// Made in this order at first use.
struct Certificates {
    Issued authority = issue("tessarin test CA", nullptr, nullptr);
    Issued rogue = issue("tessarin test rogue CA", nullptr, nullptr);
    Issued loopback = issue("localhost", loopbackNames, &authority);
    Issued otherName = issue("elsewhere.example", "DNS:elsewhere.example", &authority);
    Issued untrusted = issue("localhost", loopbackNames, &rogue);
    std::string authorityPEM = pem(authority.certificate.get());
};

const Certificates& certificates() {
    static const Certificates made;
    return made;
}

}  // namespace

const std::string& TestCertificates::authority() {
    return certificates().authorityPEM;
}

std::shared_ptr<boost::asio::ssl::context> TestCertificates::serverContext(
    LoopbackSecurity security) {
    const auto& made = certificates();
    const Issued& server = security == LoopbackSecurity::otherNameTLS   ? made.otherName
                           : security == LoopbackSecurity::untrustedTLS ? made.untrusted
                                                                        : made.loopback;
    auto tls = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
    SSL_CTX_use_certificate(tls->native_handle(), server.certificate.get());
    SSL_CTX_use_PrivateKey(tls->native_handle(), server.key.get());
    return tls;
}

}  // namespace tessarin::test
