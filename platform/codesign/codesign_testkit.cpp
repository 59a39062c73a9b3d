#include "platform/codesign/codesign_testkit.h"

#include "platform/codesign/openssl_handles.h"
#include "platform/codesign/sign.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvane::codesign::testkit {
namespace {

using namespace korvane::codesign::detail;

constexpr long kHour = 60 * 60;
constexpr long kDay = 24 * kHour;
constexpr long kLifetime = 30 * kDay;
constexpr int kSerialBits = 64;

void require(bool ok, const char* what) {
    if (!ok) {
        ERR_clear_error();
        throw std::runtime_error(std::string("codesign testkit: ") + what);
    }
}

PkeyPtr newKey() {
    PkeyPtr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "cannot make an EC key");
    return key;
}

std::string pemOf(X509* certificate) {
    const BioPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "cannot encode a certificate");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pemOf(EVP_PKEY* key) {
    const BioPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "cannot encode a key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

X509Ptr parseCertificate(const std::string& pem) {
    const BioPtr bio = memoryBio(pem.data(), pem.size());
    X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    require(certificate != nullptr, "cannot parse a certificate");
    return certificate;
}

PkeyPtr parseKey(const std::string& pem) {
    const BioPtr bio = memoryBio(pem.data(), pem.size());
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    require(key != nullptr, "cannot parse a key");
    return key;
}

void addName(X509_NAME* name, const char* field, std::string_view value) {
    require(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) == 1,
            "cannot set a subject name");
}

void addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
    require(extension != nullptr, "cannot make an extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added == 1, "cannot add an extension");
}

// Issued by `issuer` (signed with issuerKey), or self-signed when issuer is null.
X509Ptr makeCertificate(X509* issuer, EVP_PKEY* issuerKey, EVP_PKEY* subjectKey, std::string_view commonName,
                        std::string_view organizationalUnit, bool authority, Validity validity) {
    X509Ptr certificate(X509_new());
    require(certificate != nullptr, "out of memory");
    require(X509_set_version(certificate.get(), X509_VERSION_3) == 1, "cannot set the version");

    BIGNUM* serial = BN_new();
    const bool serialSet = serial != nullptr && BN_rand(serial, kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
                           BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate.get())) != nullptr;
    BN_free(serial);
    require(serialSet, "cannot set the serial");

    if (validity == Validity::current) {
        require(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kHour) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kLifetime) != nullptr,
                "cannot set the validity");
    } else {
        require(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kLifetime) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), -kDay) != nullptr,
                "cannot set the validity");
    }

    X509_NAME* subject = X509_get_subject_name(certificate.get());
    addName(subject, "CN", commonName);
    if (!organizationalUnit.empty()) addName(subject, "OU", organizationalUnit);
    require(X509_set_issuer_name(certificate.get(), issuer != nullptr ? X509_get_subject_name(issuer) : subject) == 1,
            "cannot set the issuer");
    require(X509_set_pubkey(certificate.get(), subjectKey) == 1, "cannot set the key");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer != nullptr ? issuer : certificate.get(), certificate.get(), nullptr, nullptr, 0);
    if (authority) {
        addExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate.get(), &context, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(certificate.get(), &context, NID_subject_key_identifier, "hash");
    } else {
        addExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(certificate.get(), &context, NID_key_usage, "critical,digitalSignature");
        addExtension(certificate.get(), &context, NID_ext_key_usage, "codeSigning");
        addExtension(certificate.get(), &context, NID_subject_key_identifier, "hash");
        addExtension(certificate.get(), &context, NID_authority_key_identifier, "keyid");
    }
    require(X509_sign(certificate.get(), issuerKey, EVP_sha256()) > 0, "cannot sign the certificate");
    return certificate;
}

}  // namespace

Identity makeAnchor(std::string_view commonName) {
    ErrorQueueGuard errorQueue;
    const PkeyPtr key = newKey();
    const X509Ptr certificate =
        makeCertificate(nullptr, key.get(), key.get(), commonName, {}, true, Validity::current);
    return {pemOf(certificate.get()), pemOf(key.get())};
}

Identity makeLeaf(const Identity& anchor, std::string_view organizationalUnit, std::string_view commonName,
                  Validity validity) {
    ErrorQueueGuard errorQueue;
    const X509Ptr issuer = parseCertificate(anchor.certificatePem);
    const PkeyPtr issuerKey = parseKey(anchor.privateKeyPem);
    const PkeyPtr key = newKey();
    const X509Ptr certificate =
        makeCertificate(issuer.get(), issuerKey.get(), key.get(), commonName, organizationalUnit, false, validity);
    return {pemOf(certificate.get()), pemOf(key.get())};
}

void signExecutable(const std::filesystem::path& executable, std::string_view identifier, const Identity& leaf,
                    std::string_view chainPem) {
    codesign::signExecutable(executable, identifier,
                             SigningIdentity{leaf.certificatePem, leaf.privateKeyPem, std::string(chainPem)});
}

TrustAnchors trustAnchorsOf(const Identity& anchor) {
    std::optional<TrustAnchors> anchors = TrustAnchors::fromPem(anchor.certificatePem);
    require(anchors.has_value(), "the anchor holds no certificate");
    return std::move(*anchors);
}

Identity devAnchor() { return {readFile(KORVANE_DEV_ANCHOR_PEM), readFile(KORVANE_DEV_ANCHOR_KEY)}; }

Identity devIdentity() { return {readFile(KORVANE_DEV_IDENTITY_PEM), readFile(KORVANE_DEV_IDENTITY_KEY)}; }

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("codesign testkit: cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace korvane::codesign::testkit
