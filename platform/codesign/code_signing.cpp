#include "platform/codesign/code_signing.h"

#include "platform/codesign/fd_bio.h"
#include "platform/codesign/openssl_handles.h"
#include "platform/codesign/pinned_anchor.h"
#include "platform/codesign/signature_format.h"
#include "platform/posix/unique_fd.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::codesign {

using detail::ErrorQueueGuard;
using posix::UniqueFd;

struct TrustAnchors::Impl {
    std::vector<detail::X509Ptr> certificates;
};

namespace {

UniqueFd openRetrying(const char* path, int flags) {
    int fd = -1;
    do {
        fd = ::open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

// A pidfd reads as readable once its process has exited (whether or not it was reaped).
bool guestExited(int pidfd) {
    pollfd entry{pidfd, POLLIN, 0};
    int ready = -1;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // A poll failure on our own duplicate cannot tell us the guest lives; refuse it.
    return ready < 0 || (entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

OSStatus readSignature(const std::filesystem::path& path, std::string& bytes) {
    // Non-blocking, so a FIFO planted in place of the signature cannot stall the caller.
    UniqueFd fd = openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!fd) return errno == ENOENT || errno == ENOTDIR ? errSecCSUnsigned : errSecCSSignatureFailed;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return errSecCSSignatureFailed;
    if (static_cast<std::uintmax_t>(info.st_size) > kMaxSignatureBytes) return errSecCSSignatureFailed;

    // Read one byte past the limit, in case the file grew since fstat.
    bytes.resize(kMaxSignatureBytes + 1);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errSecCSSignatureFailed;
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled > kMaxSignatureBytes) return errSecCSSignatureFailed;
    bytes.resize(filled);
    return errSecSuccess;
}

bool isMissingAnchor(int verifyError) {
    switch (verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return true;
    default:
        return false;
    }
}

// The one value of the attribute `nid` in the leaf's subject; nullopt when absent or repeated,
// so a subject cannot satisfy a clause through one of several values.
std::optional<std::string> singleSubjectValue(X509* leaf, int nid) {
    const X509_NAME* subject = X509_get_subject_name(leaf);
    const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (index < 0 || X509_NAME_get_index_by_NID(subject, nid, index) >= 0) return std::nullopt;
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) return std::nullopt;
    std::string value(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return value;
}

// The signing identifier: exactly one signed attribute holding exactly one UTF8String.
std::optional<std::string> signedIdentifier(CMS_SignerInfo* signer) {
    const detail::AsnObjectPtr oid(OBJ_txt2obj(kIdentifierAttributeOid, 1));
    if (!oid) return std::nullopt;
    const int index = CMS_signed_get_attr_by_OBJ(signer, oid.get(), -1);
    if (index < 0 || CMS_signed_get_attr_by_OBJ(signer, oid.get(), index) >= 0) return std::nullopt;
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, index);
    if (attribute == nullptr || X509_ATTRIBUTE_count(attribute) != 1) return std::nullopt;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value == nullptr || value->type != V_ASN1_UTF8STRING) return std::nullopt;
    const ASN1_STRING* text = value->value.utf8string;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                       static_cast<std::size_t>(ASN1_STRING_length(text)));
}

bool satisfies(const Requirement& requirement, const std::string& identifier, X509* leaf) {
    for (const Requirement::Clause& clause : requirement.clauses()) {
        switch (clause.kind) {
        case Requirement::ClauseKind::anchorTrusted:
            break;  // the chain was verified against the anchors before we got here
        case Requirement::ClauseKind::identifier:
            if (identifier != clause.value) return false;
            break;
        case Requirement::ClauseKind::leafSubjectOU:
            if (singleSubjectValue(leaf, NID_organizationalUnitName) != clause.value) return false;
            break;
        case Requirement::ClauseKind::leafSubjectCN:
            if (singleSubjectValue(leaf, NID_commonName) != clause.value) return false;
            break;
        }
    }
    return true;
}

// Verifies `signaturePath` over the bytes behind `executableFd`, then the requirement.
OSStatus verifyImage(int executableFd, const std::filesystem::path& signaturePath, const Requirement& requirement,
                     const std::vector<detail::X509Ptr>& anchors) {
    ErrorQueueGuard errorQueue;

    std::string der;
    if (const OSStatus status = readSignature(signaturePath, der); status != errSecSuccess) return status;

    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    const auto* end = cursor + der.size();
    const detail::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cms || cursor != end) return errSecCSSignatureFailed;
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed || CMS_is_detached(cms.get()) != 1) {
        return errSecCSSignatureFailed;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1) return errSecCSSignatureFailed;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);

    // Signature and content digest first; the chain is judged separately below so that an
    // unknown anchor can be told apart from broken math.
    const detail::BioPtr content = detail::preadBio(executableFd);
    if (!content) return errSecCSSignatureFailed;
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        return errSecCSSignatureFailed;
    }

    X509* leaf = nullptr;
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, &leaf, &digestAlgorithm, nullptr);
    if (leaf == nullptr || digestAlgorithm == nullptr) return errSecCSSignatureFailed;
    const ASN1_OBJECT* digestOid = nullptr;
    X509_ALGOR_get0(&digestOid, nullptr, nullptr, digestAlgorithm);
    if (OBJ_obj2nid(digestOid) != NID_sha256) return errSecCSSignatureFailed;

    const detail::X509StorePtr store(X509_STORE_new());
    const detail::X509StoreCtxPtr context(X509_STORE_CTX_new());
    if (!store || !context) return errSecCSSignatureFailed;
    for (const detail::X509Ptr& anchor : anchors) {
        if (X509_STORE_add_cert(store.get(), anchor.get()) != 1) return errSecCSSignatureFailed;
    }
    const detail::X509StackPtr untrusted(CMS_get1_certs(cms.get()));
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf, untrusted.get()) != 1) return errSecCSSignatureFailed;
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY);
    if (X509_verify_cert(context.get()) != 1) {
        const bool missingAnchor = isMissingAnchor(X509_STORE_CTX_get_error(context.get()));
        return missingAnchor && requirement.hasAnchorClause() ? errSecCSReqFailed : errSecCSSignatureFailed;
    }

    const std::optional<std::string> identifier = signedIdentifier(signer);
    if (!identifier) return errSecCSSignatureFailed;
    return satisfies(requirement, *identifier, leaf) ? errSecSuccess : errSecCSReqFailed;
}

}  // namespace

std::string_view statusName(OSStatus status) {
    switch (status) {
    case errSecSuccess: return "errSecSuccess";
    case errSecCSInvalidObjectRef: return "errSecCSInvalidObjectRef";
    case errSecCSStaticCodeNotFound: return "errSecCSStaticCodeNotFound";
    case errSecCSNoSuchCode: return "errSecCSNoSuchCode";
    case errSecCSUnsigned: return "errSecCSUnsigned";
    case errSecCSSignatureFailed: return "errSecCSSignatureFailed";
    case errSecCSReqInvalid: return "errSecCSReqInvalid";
    case errSecCSReqFailed: return "errSecCSReqFailed";
    default: return "unknown";
    }
}

Code::~Code() {
    if (executableFd_ >= 0) ::close(executableFd_);
    if (pidfd_ >= 0) ::close(pidfd_);
}

std::optional<TrustAnchors> TrustAnchors::fromPem(std::string_view pem) {
    ErrorQueueGuard errorQueue;
    const detail::BioPtr bio = detail::memoryBio(pem.data(), pem.size());
    if (!bio) return std::nullopt;
    auto impl = std::make_shared<Impl>();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        impl->certificates.emplace_back(certificate);
    }
    // The reader ends with "no start line" when the text simply ran out; anything else is a
    // damaged block.
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE) return std::nullopt;
    if (impl->certificates.empty()) return std::nullopt;
    return TrustAnchors(std::move(impl));
}

const TrustAnchors& TrustAnchors::pinned() {
    // A pinned anchor that does not parse leaves nothing trusted: every check then fails closed.
    static const TrustAnchors anchors = [] {
        std::optional<TrustAnchors> parsed = fromPem(pinnedAnchorPem());
        return parsed ? std::move(*parsed) : TrustAnchors(std::make_shared<const Impl>());
    }();
    return anchors;
}

std::size_t TrustAnchors::size() const { return impl_->certificates.size(); }

OSStatus copyGuestWithAttributes(const GuestAttributes& attributes, std::unique_ptr<Code>& code) {
    code.reset();
    if (attributes.pid <= 0 || attributes.pidfd < -1) return errSecCSInvalidObjectRef;

    std::unique_ptr<Code> guest(new Code());
    guest->pid_ = attributes.pid;
    if (attributes.pidfd >= 0) {
        guest->pidfd_ = ::fcntl(attributes.pidfd, F_DUPFD_CLOEXEC, 0);
        if (guest->pidfd_ < 0) return errSecCSInvalidObjectRef;
    }

    // The descriptor pins the inode the guest runs; everything later is read through it.
    const std::string procExe = "/proc/" + std::to_string(attributes.pid) + "/exe";
    UniqueFd executable = openRetrying(procExe.c_str(), O_RDONLY | O_CLOEXEC);
    if (!executable) return errno == ENOENT || errno == ESRCH ? errSecCSNoSuchCode : errSecCSStaticCodeNotFound;
    guest->executableFd_ = executable.release();

    std::error_code error;
    guest->path_ = std::filesystem::read_symlink(procExe, error);
    if (error) return errSecCSNoSuchCode;  // the process exited after the open

    // A path that no longer names the running inode (the kernel appends " (deleted)" when the file
    // was unlinked or replaced) has a signature beside it that is not this code's.
    struct stat running {};
    struct stat onDisk {};
    if (::fstat(guest->executableFd_, &running) != 0 || !S_ISREG(running.st_mode)) return errSecCSStaticCodeNotFound;
    guest->pathNamesImage_ = ::stat(guest->path_.c_str(), &onDisk) == 0 && onDisk.st_dev == running.st_dev &&
                             onDisk.st_ino == running.st_ino;

    // Last: if the process that connected has exited, the pid (and the exe we opened) may
    // belong to another process by now.
    if (guest->pidfd_ >= 0 && guestExited(guest->pidfd_)) return errSecCSNoSuchCode;

    code = std::move(guest);
    return errSecSuccess;
}

OSStatus checkValidity(const Code& code, const Requirement& requirement) {
    return checkValidity(code, requirement, TrustAnchors::pinned());
}

OSStatus checkValidity(const Code& code, const Requirement& requirement, const TrustAnchors& anchors) {
    if (code.pidfd_ >= 0 && guestExited(code.pidfd_)) return errSecCSNoSuchCode;
    if (!code.pathNamesImage_) return errSecCSSignatureFailed;
    return verifyImage(code.executableFd_, signaturePathFor(code.path_), requirement, anchors.impl_->certificates);
}

OSStatus checkStaticValidity(const std::filesystem::path& executable, const Requirement& requirement,
                             const TrustAnchors& anchors) {
    UniqueFd fd = openRetrying(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!fd) return errSecCSStaticCodeNotFound;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return errSecCSStaticCodeNotFound;
    return verifyImage(fd.get(), signaturePathFor(executable), requirement, anchors.impl_->certificates);
}

}  // namespace korvane::codesign
