#include "platform/codesign/code_signing.h"

#include "platform/codesign/codesign_testkit.h"
#include "platform/codesign/openssl_handles.h"
#include "platform/codesign/pinned_anchor.h"
#include "tests/support/scratch_directory.h"
#include "platform/codesign/signature_format.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvane::codesign {
namespace {

namespace fs = std::filesystem;
using korvane::testing::ScratchDirectory;
using testkit::Identity;
using testkit::Validity;

constexpr std::string_view kProductRequirement =
    R"(anchor apple generic and identifier "com.korvane.vpn" and certificate leaf[subject.OU] = "ZK4HM8QT3V")";
constexpr std::string_view kIdentifier = "com.korvane.vpn";
constexpr std::string_view kTeam = "ZK4HM8QT3V";
constexpr std::string_view kLeafName = "Developer ID Application: Korvane (ZK4HM8QT3V)";

std::unique_ptr<Requirement> parse(std::string_view text) {
    std::unique_ptr<Requirement> requirement;
    if (requirementCreateWithString(text, requirement) != errSecSuccess) {
        throw std::runtime_error("test requirement does not parse: " + std::string(text));
    }
    return requirement;
}

// Made once: the build's identity and the strangers the tests sign with.
struct Identities {
    Identity devAnchor = testkit::devAnchor();
    Identity devLeaf = testkit::devIdentity();
    Identity otherTeamLeaf = testkit::makeLeaf(devAnchor, "AAAAAAAAAA", "Developer ID Application: Other (AAAAAAAAAA)");
    Identity expiredLeaf = testkit::makeLeaf(devAnchor, kTeam, kLeafName, Validity::expired);
    Identity foreignAnchor = testkit::makeAnchor("Foreign Root CA");
    Identity foreignLeaf = testkit::makeLeaf(foreignAnchor, kTeam, kLeafName);
    // Same subject as our anchor, different key.
    Identity impostorAnchor = testkit::makeAnchor("Korvane Development Root CA");
    Identity impostorLeaf = testkit::makeLeaf(impostorAnchor, kTeam, kLeafName);
};

const Identities& identities() {
    static const Identities value;
    return value;
}

void appendTo(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << bytes;
    ASSERT_TRUE(out.good());
}

void overwrite(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good());
}

// --- Signatures checked on disk -------------------------------------------------------------

struct SigningCase {
    const char* name;
    std::function<void(const fs::path& executable)> sign;
    std::string requirement;
    OSStatus expected;
};

void PrintTo(const SigningCase& c, std::ostream* out) { *out << c.name; }

class StaticValidity : public ::testing::TestWithParam<SigningCase> {
protected:
    ScratchDirectory directory;
};

TEST_P(StaticValidity, MapsSignerAndRequirementToStatus) {
    const SigningCase& c = GetParam();
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    c.sign(executable);
    const OSStatus status = checkStaticValidity(executable, *parse(c.requirement), TrustAnchors::pinned());
    EXPECT_EQ(status, c.expected) << statusName(status);
}

void signWith(const fs::path& executable, const Identity& leaf, std::string_view identifier,
              std::string_view chain = {}) {
    testkit::signExecutable(executable, identifier, leaf, chain);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StaticValidity,
    ::testing::Values(
        SigningCase{"DevIdentity", [](const fs::path& e) { signWith(e, identities().devLeaf, kIdentifier); },
                    std::string(kProductRequirement), errSecSuccess},
        SigningCase{"AnchorCarriedInChain",
                    [](const fs::path& e) {
                        signWith(e, identities().devLeaf, kIdentifier, identities().devAnchor.certificatePem);
                    },
                    std::string(kProductRequirement), errSecSuccess},
        SigningCase{"LeafCommonName", [](const fs::path& e) { signWith(e, identities().devLeaf, kIdentifier); },
                    R"r(anchor apple generic and certificate leaf[subject.CN] = "Developer ID Application: Korvane (ZK4HM8QT3V)")r",
                    errSecSuccess},
        SigningCase{"OtherIdentifier",
                    [](const fs::path& e) { signWith(e, identities().devLeaf, "com.korvane.other"); },
                    std::string(kProductRequirement), errSecCSReqFailed},
        SigningCase{"IdentifierExtendingOurs",
                    [](const fs::path& e) { signWith(e, identities().devLeaf, "com.korvane.vpn.helper"); },
                    std::string(kProductRequirement), errSecCSReqFailed},
        SigningCase{"OtherTeam", [](const fs::path& e) { signWith(e, identities().otherTeamLeaf, kIdentifier); },
                    std::string(kProductRequirement), errSecCSReqFailed},
        SigningCase{"OtherCommonName", [](const fs::path& e) { signWith(e, identities().devLeaf, kIdentifier); },
                    R"(anchor apple generic and certificate leaf[subject.CN] = "Developer ID Application: Korvane")",
                    errSecCSReqFailed},
        SigningCase{"ForeignAnchor", [](const fs::path& e) { signWith(e, identities().foreignLeaf, kIdentifier); },
                    std::string(kProductRequirement), errSecCSReqFailed},
        SigningCase{"ForeignAnchorCarriedInChain",
                    [](const fs::path& e) {
                        signWith(e, identities().foreignLeaf, kIdentifier, identities().foreignAnchor.certificatePem);
                    },
                    std::string(kProductRequirement), errSecCSReqFailed},
        SigningCase{"ImpostorAnchorWithOurName",
                    [](const fs::path& e) {
                        signWith(e, identities().impostorLeaf, kIdentifier, identities().impostorAnchor.certificatePem);
                    },
                    std::string(kProductRequirement), errSecCSReqFailed},
        // Without an anchor clause an untrusted chain is still refused, as a signature failure.
        SigningCase{"ForeignAnchorWithoutAnchorClause",
                    [](const fs::path& e) { signWith(e, identities().foreignLeaf, kIdentifier); },
                    R"(identifier "com.korvane.vpn" and certificate leaf[subject.OU] = "ZK4HM8QT3V")",
                    errSecCSSignatureFailed},
        SigningCase{"ExpiredLeaf", [](const fs::path& e) { signWith(e, identities().expiredLeaf, kIdentifier); },
                    std::string(kProductRequirement), errSecCSSignatureFailed}),
    [](const ::testing::TestParamInfo<SigningCase>& info) { return info.param.name; });

TEST(StaticValidity, AnchorsPassedByTheCallerReplaceThePinnedOne) {
    ScratchDirectory directory;
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    signWith(executable, identities().foreignLeaf, kIdentifier);
    const auto requirement = parse(kProductRequirement);
    EXPECT_EQ(checkStaticValidity(executable, *requirement, testkit::trustAnchorsOf(identities().foreignAnchor)),
              errSecSuccess);
    EXPECT_EQ(checkStaticValidity(executable, *requirement, testkit::trustAnchorsOf(identities().devAnchor)),
              errSecCSReqFailed);
}

// --- Damaged executables and signatures ------------------------------------------------------

// A signature made by hand, for shapes our signer never writes.
void writeRawSignature(const fs::path& executable, const Identity& leaf, unsigned int extraFlags,
                       const std::function<void(CMS_SignerInfo*)>& addAttributes) {
    using namespace detail;
    const BioPtr certBio = memoryBio(leaf.certificatePem.data(), leaf.certificatePem.size());
    const X509Ptr certificate(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    const BioPtr keyBio = memoryBio(leaf.privateKeyPem.data(), leaf.privateKeyPem.size());
    const PkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(certificate && key);
    const unsigned int flags = CMS_BINARY | extraFlags;
    const CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
    ASSERT_TRUE(cms);
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), certificate.get(), key.get(), EVP_sha256(), CMS_BINARY);
    ASSERT_NE(signer, nullptr);
    addAttributes(signer);
    const BioPtr content(BIO_new_file(executable.c_str(), "rb"));
    ASSERT_TRUE(content);
    ASSERT_EQ(CMS_final(cms.get(), content.get(), nullptr, flags), 1);
    const BioPtr out(BIO_new_file(signaturePathFor(executable).c_str(), "wb"));
    ASSERT_TRUE(out);
    ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
}

void addIdentifier(CMS_SignerInfo* signer, int type, std::string_view identifier) {
    const detail::AsnObjectPtr oid(OBJ_txt2obj(kIdentifierAttributeOid, 1));
    ASSERT_EQ(CMS_signed_add1_attr_by_OBJ(signer, oid.get(), type, identifier.data(), static_cast<int>(identifier.size())),
              1);
}

// Adds our identifier as an unsigned attribute, which anyone can do without breaking the signature.
void relabelUnsigned(const fs::path& signature, std::string_view identifier) {
    using namespace detail;
    CmsPtr cms;
    {
        const BioPtr in(BIO_new_file(signature.c_str(), "rb"));
        ASSERT_TRUE(in);
        cms.reset(d2i_CMS_bio(in.get(), nullptr));
    }
    ASSERT_TRUE(cms);
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    const AsnObjectPtr oid(OBJ_txt2obj(kIdentifierAttributeOid, 1));
    ASSERT_EQ(CMS_unsigned_add1_attr_by_OBJ(signer, oid.get(), V_ASN1_UTF8STRING, identifier.data(),
                                            static_cast<int>(identifier.size())),
              1);
    const BioPtr out(BIO_new_file(signature.c_str(), "wb"));
    ASSERT_TRUE(out);
    ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
}

struct TamperCase {
    const char* name;
    std::function<void(const fs::path& executable, const fs::path& signature)> tamper;
    OSStatus expected;
};

void PrintTo(const TamperCase& c, std::ostream* out) { *out << c.name; }

class Tampering : public ::testing::TestWithParam<TamperCase> {
protected:
    ScratchDirectory directory;
};

TEST_P(Tampering, IsDetected) {
    const TamperCase& c = GetParam();
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    const fs::path signature = signaturePathFor(executable);
    signWith(executable, identities().devLeaf, kIdentifier);
    const auto requirement = parse(kProductRequirement);
    ASSERT_EQ(checkStaticValidity(executable, *requirement, TrustAnchors::pinned()), errSecSuccess);

    c.tamper(executable, signature);
    const OSStatus status = checkStaticValidity(executable, *requirement, TrustAnchors::pinned());
    EXPECT_EQ(status, c.expected) << statusName(status);
}

std::string contentsOf(const fs::path& path) { return testkit::readFile(path); }

INSTANTIATE_TEST_SUITE_P(
    Table, Tampering,
    ::testing::Values(
        TamperCase{"ByteAppendedToExecutable", [](const fs::path& e, const fs::path&) { appendTo(e, "x"); },
                   errSecCSSignatureFailed},
        TamperCase{"ByteFlippedInExecutable",
                   [](const fs::path& e, const fs::path&) {
                       std::string bytes = contentsOf(e);
                       bytes[bytes.size() / 2] ^= 0x01;
                       overwrite(e, bytes);
                   },
                   errSecCSSignatureFailed},
        TamperCase{"SignatureRemoved", [](const fs::path&, const fs::path& s) { fs::remove(s); }, errSecCSUnsigned},
        TamperCase{"SignatureIsGarbage",
                   [](const fs::path&, const fs::path& s) { overwrite(s, "this is not a signature"); },
                   errSecCSSignatureFailed},
        TamperCase{"SignatureTruncated",
                   [](const fs::path&, const fs::path& s) {
                       const std::string bytes = contentsOf(s);
                       overwrite(s, bytes.substr(0, bytes.size() / 2));
                   },
                   errSecCSSignatureFailed},
        TamperCase{"SignatureEmpty", [](const fs::path&, const fs::path& s) { overwrite(s, ""); },
                   errSecCSSignatureFailed},
        TamperCase{"SignatureWithTrailingBytes", [](const fs::path&, const fs::path& s) { appendTo(s, std::string_view("\0", 1)); },
                   errSecCSSignatureFailed},
        // Opening a FIFO for reading would block without a writer; the check must not hang.
        TamperCase{"SignatureIsFifo",
                   [](const fs::path&, const fs::path& s) {
                       fs::remove(s);
                       ASSERT_EQ(::mkfifo(s.c_str(), 0600), 0);
                   },
                   errSecCSSignatureFailed},
        TamperCase{"SignatureIsDirectory",
                   [](const fs::path&, const fs::path& s) {
                       fs::remove(s);
                       fs::create_directory(s);
                   },
                   errSecCSSignatureFailed},
        TamperCase{"SignatureOfAnotherExecutable",
                   [](const fs::path& e, const fs::path& s) {
                       const fs::path other = e.parent_path() / "other";
                       fs::copy_file("/bin/false", other);
                       signWith(other, identities().devLeaf, kIdentifier);
                       fs::rename(signaturePathFor(other), s);
                   },
                   errSecCSSignatureFailed},
        TamperCase{"IdentifierRelabelledOutsideTheSignature",
                   [](const fs::path& e, const fs::path& s) {
                       signWith(e, identities().devLeaf, "com.korvane.other");
                       relabelUnsigned(s, kIdentifier);
                   },
                   errSecCSReqFailed},
        TamperCase{"IdentifierMissing",
                   [](const fs::path& e, const fs::path&) {
                       writeRawSignature(e, identities().devLeaf, CMS_DETACHED, [](CMS_SignerInfo*) {});
                   },
                   errSecCSSignatureFailed},
        TamperCase{"IdentifierTwice",
                   [](const fs::path& e, const fs::path&) {
                       writeRawSignature(e, identities().devLeaf, CMS_DETACHED, [](CMS_SignerInfo* signer) {
                           addIdentifier(signer, V_ASN1_UTF8STRING, kIdentifier);
                           addIdentifier(signer, V_ASN1_UTF8STRING, kIdentifier);
                       });
                   },
                   errSecCSSignatureFailed},
        TamperCase{"IdentifierNotUtf8String",
                   [](const fs::path& e, const fs::path&) {
                       writeRawSignature(e, identities().devLeaf, CMS_DETACHED, [](CMS_SignerInfo* signer) {
                           addIdentifier(signer, V_ASN1_IA5STRING, kIdentifier);
                       });
                   },
                   errSecCSSignatureFailed},
        TamperCase{"ContentEmbeddedNotDetached",
                   [](const fs::path& e, const fs::path&) {
                       writeRawSignature(e, identities().devLeaf, 0, [](CMS_SignerInfo* signer) {
                           addIdentifier(signer, V_ASN1_UTF8STRING, kIdentifier);
                       });
                   },
                   errSecCSSignatureFailed},
        TamperCase{"ExecutableRemoved", [](const fs::path& e, const fs::path&) { fs::remove(e); },
                   errSecCSStaticCodeNotFound}),
    [](const ::testing::TestParamInfo<TamperCase>& info) { return info.param.name; });

// --- Anchors ---------------------------------------------------------------------------------

TEST(PinnedAnchor, IsTheBuildsDevelopmentAnchor) {
    EXPECT_EQ(std::string(pinnedAnchorPem()), testkit::readFile(KORVANE_DEV_ANCHOR_PEM));
    EXPECT_EQ(TrustAnchors::pinned().size(), 1u);
}

TEST(TrustAnchors, ParsesEveryCertificateAndRefusesDamage) {
    const std::string dev = identities().devAnchor.certificatePem;
    const std::string foreign = identities().foreignAnchor.certificatePem;

    const auto both = TrustAnchors::fromPem(dev + foreign);
    ASSERT_TRUE(both.has_value());
    EXPECT_EQ(both->size(), 2u);

    std::string damaged = dev;
    damaged[damaged.size() / 2] = '!';
    EXPECT_FALSE(TrustAnchors::fromPem(""));
    EXPECT_FALSE(TrustAnchors::fromPem("no certificate here"));
    EXPECT_FALSE(TrustAnchors::fromPem(damaged));
    EXPECT_FALSE(TrustAnchors::fromPem(dev + damaged));
}

// --- Running guests --------------------------------------------------------------------------

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Children started by a test; the fixture kills and reaps whatever is left.
class RunningGuest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const int fd : pidfds_) ::close(fd);
        for (const pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    pid_t spawn(const fs::path& executable, const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
        std::string name = executable.filename().string();
        argv.push_back(name.data());
        std::vector<std::string> copies = arguments;
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int error = ::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), environ);
        if (error != 0) throw std::runtime_error("posix_spawn failed");
        children_.push_back(pid);
        return pid;
    }

    int pidfdOf(pid_t pid) {
        const int fd = pidfdOpen(pid);
        if (fd < 0) throw std::runtime_error("pidfd_open failed");
        pidfds_.push_back(fd);
        return fd;
    }

    void reap(pid_t pid) {
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
        std::erase(children_, pid);
    }

    // A signed copy of sleep, started; it runs until the test ends.
    pid_t startSignedSleeper(const std::string& name, const Identity& leaf) {
        const fs::path executable = directory.copyOf("/bin/sleep", name);
        signWith(executable, leaf, kIdentifier);
        return spawn(executable, {"600"});
    }

    ScratchDirectory directory;
    std::unique_ptr<Requirement> requirement = parse(kProductRequirement);

private:
    std::vector<pid_t> children_;
    std::vector<int> pidfds_;
};

TEST_F(RunningGuest, SignedGuestIsValid) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    const int borrowedPidfd = pidfdOpen(pid);
    ASSERT_GE(borrowedPidfd, 0);
    for (const int pidfd : {borrowedPidfd, -1}) {
        std::unique_ptr<Code> code;
        ASSERT_EQ(copyGuestWithAttributes({pid, pidfd}, code), errSecSuccess);
        if (pidfd >= 0) ::close(pidfd);  // borrowed only: the Code keeps its own
        EXPECT_EQ(code->pid(), pid);
        EXPECT_EQ(code->path(), fs::canonical(directory.path() / "KorvaneVPN"));
        EXPECT_EQ(checkValidity(*code, *requirement), errSecSuccess);
    }
}

TEST_F(RunningGuest, GuestIsJudgedByTheAnchorsGiven) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().foreignLeaf);
    std::unique_ptr<Code> code;
    ASSERT_EQ(copyGuestWithAttributes({pid, pidfdOf(pid)}, code), errSecSuccess);
    EXPECT_EQ(checkValidity(*code, *requirement), errSecCSReqFailed);
    EXPECT_EQ(checkValidity(*code, *requirement, testkit::trustAnchorsOf(identities().foreignAnchor)), errSecSuccess);
}

TEST_F(RunningGuest, UnsignedGuestIsUnsigned) {
    const pid_t pid = spawn(directory.copyOf("/bin/sleep", "KorvaneVPN"), {"600"});
    std::unique_ptr<Code> code;
    ASSERT_EQ(copyGuestWithAttributes({pid, pidfdOf(pid)}, code), errSecSuccess);
    EXPECT_EQ(checkValidity(*code, *requirement), errSecCSUnsigned);
}

TEST_F(RunningGuest, ExitedGuestIsNoSuchCode) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    const int pidfd = pidfdOf(pid);
    reap(pid);
    std::unique_ptr<Code> code;
    EXPECT_EQ(copyGuestWithAttributes({pid, pidfd}, code), errSecCSNoSuchCode);
    EXPECT_EQ(code, nullptr);
    EXPECT_EQ(copyGuestWithAttributes({pid, -1}, code), errSecCSNoSuchCode);
}

// The peer that connected has exited and its pid now names another (signed) process: the pidfd
// taken at accept time must expose the swap.
TEST_F(RunningGuest, ReusedPidIsNoSuchCode) {
    const pid_t original = startSignedSleeper("Original", identities().devLeaf);
    const int originalPidfd = pidfdOf(original);
    reap(original);
    const pid_t successor = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    std::unique_ptr<Code> code;
    EXPECT_EQ(copyGuestWithAttributes({successor, originalPidfd}, code), errSecCSNoSuchCode);
}

TEST_F(RunningGuest, GuestExitingBeforeTheCheckIsNoSuchCode) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    const int pidfd = pidfdOf(pid);
    std::unique_ptr<Code> code;
    ASSERT_EQ(copyGuestWithAttributes({pid, pidfd}, code), errSecSuccess);
    reap(pid);
    EXPECT_EQ(checkValidity(*code, *requirement), errSecCSNoSuchCode);
}

// A validly signed executable now on disk says nothing about the one the guest started from.
TEST_F(RunningGuest, ExecutableReplacedAfterStartFails) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    const fs::path executable = directory.path() / "KorvaneVPN";
    const fs::path replacement = directory.copyOf("/bin/true", "replacement");
    signWith(replacement, identities().devLeaf, kIdentifier);
    fs::rename(replacement, executable);
    fs::rename(signaturePathFor(replacement), signaturePathFor(executable));
    ASSERT_EQ(checkStaticValidity(executable, *requirement, TrustAnchors::pinned()), errSecSuccess);

    std::unique_ptr<Code> code;
    ASSERT_EQ(copyGuestWithAttributes({pid, pidfdOf(pid)}, code), errSecSuccess);
    EXPECT_EQ(checkValidity(*code, *requirement), errSecCSSignatureFailed);
}

TEST_F(RunningGuest, ExecutableDeletedAfterStartFails) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    fs::remove(directory.path() / "KorvaneVPN");
    std::unique_ptr<Code> code;
    ASSERT_EQ(copyGuestWithAttributes({pid, pidfdOf(pid)}, code), errSecSuccess);
    EXPECT_EQ(checkValidity(*code, *requirement), errSecCSSignatureFailed);
}

TEST_F(RunningGuest, BadAttributesAreRefused) {
    const pid_t pid = startSignedSleeper("KorvaneVPN", identities().devLeaf);
    const int closedFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(closedFd, 0);
    ::close(closedFd);
    for (const GuestAttributes attributes : {GuestAttributes{0, -1}, GuestAttributes{-1, -1},
                                             GuestAttributes{pid, -2}, GuestAttributes{pid, closedFd}}) {
        std::unique_ptr<Code> code;
        EXPECT_EQ(copyGuestWithAttributes(attributes, code), errSecCSInvalidObjectRef)
            << "pid " << attributes.pid << " pidfd " << attributes.pidfd;
        EXPECT_EQ(code, nullptr);
    }
}

}  // namespace
}  // namespace korvane::codesign
