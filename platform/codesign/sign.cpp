#include "platform/codesign/sign.h"

#include "platform/codesign/fd_bio.h"
#include "platform/codesign/openssl_handles.h"
#include "platform/codesign/signature_format.h"
#include "platform/posix/unique_fd.h"

#include <openssl/objects.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::codesign {
namespace {

using posix::UniqueFd;

[[noreturn]] void fail(const std::string& what) {
    std::string message = what;
    if (const unsigned long error = ERR_peek_last_error(); error != 0) {
        char reason[256];
        ERR_error_string_n(error, reason, sizeof reason);
        message += ": ";
        message += reason;
    }
    throw SigningError(message);
}

[[noreturn]] void failErrno(const std::string& what) { throw SigningError(what + ": " + std::strerror(errno)); }

// Keys are stored unencrypted; never fall back to prompting on a terminal.
int noPassphrase(char*, int, int, void*) { return -1; }

detail::X509StackPtr readCertificates(std::string_view pem, const char* what) {
    detail::X509StackPtr certificates(sk_X509_new_null());
    if (!certificates) fail("out of memory");
    if (pem.empty()) return certificates;
    const detail::BioPtr bio = detail::memoryBio(pem.data(), pem.size());
    if (!bio) fail(std::string("cannot read the ") + what);
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr)) {
        if (sk_X509_push(certificates.get(), certificate) <= 0) {
            X509_free(certificate);
            fail("out of memory");
        }
    }
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE ||
        sk_X509_num(certificates.get()) == 0) {
        fail(std::string("the ") + what + " is not PEM certificates");
    }
    ERR_clear_error();
    return certificates;
}

void writeAtomically(const std::filesystem::path& path, const unsigned char* data, std::size_t size) {
    std::string temporary = path.string() + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) failErrno("cannot create " + temporary);
    try {
        std::size_t written = 0;
        while (written < size) {
            const ssize_t n = ::write(fd.get(), data + written, size - written);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failErrno("cannot write " + temporary);
            written += static_cast<std::size_t>(n);
        }
        // mkostemp creates 0600; the checker runs as another user than the builder.
        if (::fchmod(fd.get(), 0644) != 0) failErrno("cannot set the mode of " + temporary);
        if (::fsync(fd.get()) != 0) failErrno("cannot flush " + temporary);
        if (::close(fd.release()) != 0) failErrno("cannot close " + temporary);
        if (::rename(temporary.c_str(), path.c_str()) != 0) failErrno("cannot rename " + temporary);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

}  // namespace

void signExecutable(const std::filesystem::path& executable, std::string_view identifier,
                    const SigningIdentity& identity) {
    detail::ErrorQueueGuard errorQueue;
    if (identifier.empty() || identifier.size() > kMaxIdentifierBytes) {
        throw SigningError("the identifier must be 1 to " + std::to_string(kMaxIdentifierBytes) + " bytes");
    }

    const detail::X509StackPtr leafCertificates = readCertificates(identity.certificatePem, "certificate");
    if (sk_X509_num(leafCertificates.get()) != 1) {
        throw SigningError("the certificate must be the leaf alone; pass the rest of the chain separately");
    }
    X509* leaf = sk_X509_value(leafCertificates.get(), 0);
    const detail::X509StackPtr chain = readCertificates(identity.chainPem, "chain");

    const detail::BioPtr keyBio = detail::memoryBio(identity.privateKeyPem.data(), identity.privateKeyPem.size());
    if (!keyBio) fail("cannot read the key");
    const detail::PkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassphrase, nullptr));
    if (!key) fail("the key is not an unencrypted PEM private key");

    UniqueFd content(::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!content) failErrno("cannot open " + executable.string());
    struct stat info {};
    if (::fstat(content.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw SigningError(executable.string() + " is not a regular file");
    }

    constexpr unsigned int kFlags = CMS_DETACHED | CMS_BINARY;
    const detail::CmsPtr cms(CMS_sign(nullptr, nullptr, chain.get(), nullptr, kFlags | CMS_PARTIAL));
    if (!cms) fail("cannot start the signature");
    // CMS_add1_signer also checks that the key belongs to the certificate.
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), leaf, key.get(), EVP_sha256(), CMS_BINARY | CMS_NOSMIMECAP);
    if (signer == nullptr) fail("cannot add the signer (does the key match the certificate?)");
    const detail::AsnObjectPtr oid(OBJ_txt2obj(kIdentifierAttributeOid, 1));
    if (!oid || CMS_signed_add1_attr_by_OBJ(signer, oid.get(), V_ASN1_UTF8STRING, identifier.data(),
                                            static_cast<int>(identifier.size())) != 1) {
        fail("cannot add the identifier");
    }
    const detail::BioPtr contentBio = detail::preadBio(content.get());
    if (!contentBio || CMS_final(cms.get(), contentBio.get(), nullptr, kFlags) != 1) {
        fail("cannot sign " + executable.string());
    }

    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &der);
    if (length <= 0) fail("cannot encode the signature");
    try {
        writeAtomically(signaturePathFor(executable), der, static_cast<std::size_t>(length));
    } catch (...) {
        OPENSSL_free(der);
        throw;
    }
    OPENSSL_free(der);
}

}  // namespace korvane::codesign
