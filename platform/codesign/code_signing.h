#pragma once
// A stand-in for the code-signing checks the daemon makes on an IPC peer: take the running guest
// (copyGuestWithAttributes), parse a requirement (requirementCreateWithString), and check that
// the guest's executable carries a valid signature that satisfies it (checkValidity). The names
// follow the calls they stand in for; the statuses are plain numbers, as there.
//
// A signature is "<executable>.kvnsig" beside the executable (see signature_format.h). It is
// checked against the bytes of the exact inode the guest is running, read through a descriptor
// opened from /proc/<pid>/exe, never by re-opening the path.
//
// Status mapping of checkValidity / checkStaticValidity:
//   errSecSuccess              the signature verifies, chains to a trust anchor, and satisfies every
//                              clause of the requirement.
//   errSecCSUnsigned           there is no "<executable>.kvnsig".
//   errSecCSSignatureFailed    the signature file is there but does not verify: unreadable, not a
//                              detached SHA-256 CMS SignedData with exactly one signer, trailing or
//                              truncated bytes, the executable changed after signing, no single
//                              identifier attribute, a broken or expired certificate chain, or a
//                              chain that reaches no trust anchor while the requirement has no
//                              anchor clause (we never accept code from an unknown anchor). Also
//                              when the guest's executable was replaced or deleted after it
//                              started: the path no longer names the running code, so no signature
//                              on disk can speak for it.
//   errSecCSReqFailed          the signature is valid but the requirement is not met: wrong
//                              identifier, wrong leaf subject OU/CN, or (with an anchor clause) a
//                              sound chain that ends at an anchor other than the trusted ones.
//   errSecCSNoSuchCode         the guest process is gone, or was replaced by another process under
//                              the same pid (detected through the pidfd).
//   errSecCSStaticCodeNotFound the executable cannot be opened (missing, no permission, not a
//                              regular file).
//   errSecCSInvalidObjectRef   bad arguments: pid not positive, pidfd neither -1 nor a valid
//                              descriptor.
// requirementCreateWithString returns errSecCSReqInvalid for text outside the supported subset.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::codesign {

class Code;
class Requirement;
class TrustAnchors;

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSInvalidObjectRef = -67071;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSReqFailed = -67050;

// The constant's name for a status above, for log lines; "unknown" otherwise.
std::string_view statusName(OSStatus status);

// The peer as taken at accept time. pidfd is borrowed, not owned; -1 when unavailable, in which
// case pid reuse between accept and the check cannot be detected.
struct GuestAttributes {
    pid_t pid = -1;
    int pidfd = -1;
};

// The running guest: a descriptor on the exact executable inode it runs, and that executable's
// path as the kernel reports it.
class Code {
public:
    ~Code();
    Code(const Code&) = delete;
    Code& operator=(const Code&) = delete;

    pid_t pid() const { return pid_; }
    const std::filesystem::path& path() const { return path_; }

private:
    friend OSStatus copyGuestWithAttributes(const GuestAttributes&, std::unique_ptr<Code>&);
    friend OSStatus checkValidity(const Code&, const Requirement&, const TrustAnchors&);
    Code() = default;

    pid_t pid_ = -1;
    int executableFd_ = -1;
    int pidfd_ = -1;  // our own duplicate, so the caller may close theirs
    std::filesystem::path path_;
    // False when the path no longer names the inode the guest runs (replaced or deleted).
    bool pathNamesImage_ = false;
};

// A parsed requirement: clauses that must all hold. The accepted text is
//   clause { "and" clause }
//   clause = "anchor" "apple" "generic"                       chains to a trusted anchor
//          | "identifier" value                                 signing identifier equals value
//          | "certificate" "leaf" "[" field "]" "=" value       leaf subject field equals value
//   field  = "subject.OU" | "subject.CN"
//   value  = "quoted string" (\" and \\ escape) | bare token of letters, digits, '.', '_', '-'
// A leaf field clause holds only when the subject carries that attribute exactly once.
class Requirement {
public:
    enum class ClauseKind { anchorTrusted, identifier, leafSubjectOU, leafSubjectCN };
    struct Clause {
        ClauseKind kind;
        std::string value;  // empty for anchorTrusted
        bool operator==(const Clause&) const = default;
    };

    const std::vector<Clause>& clauses() const { return clauses_; }
    bool hasAnchorClause() const;

private:
    friend OSStatus requirementCreateWithString(std::string_view, std::unique_ptr<Requirement>&);
    Requirement() = default;

    std::vector<Clause> clauses_;
};

// Root certificates a signature may chain to. Nothing else is trusted: no system store.
class TrustAnchors {
public:
    // Every PEM certificate in the text; nullopt when there is none or a block is malformed.
    static std::optional<TrustAnchors> fromPem(std::string_view pem);
    // The development anchor compiled into this library.
    static const TrustAnchors& pinned();

    std::size_t size() const;

private:
    friend OSStatus checkValidity(const Code&, const Requirement&, const TrustAnchors&);
    friend OSStatus checkStaticValidity(const std::filesystem::path&, const Requirement&, const TrustAnchors&);
    struct Impl;
    explicit TrustAnchors(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<const Impl> impl_;
};

// Longest requirement text we parse; the product's is under a hundred bytes.
inline constexpr std::size_t kMaxRequirementBytes = 4096;

OSStatus copyGuestWithAttributes(const GuestAttributes& attributes, std::unique_ptr<Code>& code);
OSStatus requirementCreateWithString(std::string_view text, std::unique_ptr<Requirement>& requirement);
// Uses the pinned anchor.
OSStatus checkValidity(const Code& code, const Requirement& requirement);
OSStatus checkValidity(const Code& code, const Requirement& requirement, const TrustAnchors& anchors);
// The same check for an executable on disk, not running.
OSStatus checkStaticValidity(const std::filesystem::path& executable, const Requirement& requirement,
                             const TrustAnchors& anchors);

}  // namespace korvane::codesign
