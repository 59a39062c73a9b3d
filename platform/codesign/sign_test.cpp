#include "platform/codesign/sign.h"

#include "platform/codesign/code_signing.h"
#include "platform/codesign/codesign_testkit.h"
#include "tests/support/scratch_directory.h"
#include "platform/codesign/signature_format.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace korvane::codesign {
namespace {

namespace fs = std::filesystem;
using korvane::testing::ScratchDirectory;

constexpr std::string_view kProductRequirement =
    R"(anchor apple generic and identifier "com.korvane.vpn" and certificate leaf[subject.OU] = "ZK4HM8QT3V")";
constexpr std::string_view kIdentifier = "com.korvane.vpn";

SigningIdentity devSigningIdentity() {
    const testkit::Identity dev = testkit::devIdentity();
    return {dev.certificatePem, dev.privateKeyPem, {}};
}

std::set<std::string> namesIn(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

OSStatus staticStatus(const fs::path& executable) {
    std::unique_ptr<Requirement> requirement;
    if (requirementCreateWithString(kProductRequirement, requirement) != errSecSuccess) return errSecCSReqInvalid;
    return checkStaticValidity(executable, *requirement, TrustAnchors::pinned());
}

TEST(SignExecutable, ReplacesTheSignatureWholeAndLeavesNothingElse) {
    ScratchDirectory directory;
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    signExecutable(executable, "com.korvane.other", devSigningIdentity());
    EXPECT_EQ(staticStatus(executable), errSecCSReqFailed);
    signExecutable(executable, kIdentifier, devSigningIdentity());
    EXPECT_EQ(staticStatus(executable), errSecSuccess);

    EXPECT_EQ(namesIn(directory.path()), (std::set<std::string>{"KorvaneVPN", "KorvaneVPN.kvnsig"}));
    struct stat info {};
    ASSERT_EQ(::stat(signaturePathFor(executable).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);  // readable by a checker running as another user
}

struct RefusalCase {
    const char* name;
    std::function<SigningIdentity()> identity;
    std::string identifier;
    const char* target;  // inside the scratch directory
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class SignRefusal : public ::testing::TestWithParam<RefusalCase> {};

// A refused signing throws and leaves the earlier signature, and no debris, behind.
TEST_P(SignRefusal, ThrowsAndKeepsTheEarlierSignature) {
    const RefusalCase& c = GetParam();
    ScratchDirectory directory;
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    fs::create_directory(directory.path() / "directory");
    signExecutable(executable, kIdentifier, devSigningIdentity());
    const std::string before = testkit::readFile(signaturePathFor(executable));

    EXPECT_THROW(signExecutable(directory.path() / c.target, c.identifier, c.identity()), SigningError);

    EXPECT_EQ(testkit::readFile(signaturePathFor(executable)), before);
    EXPECT_EQ(namesIn(directory.path()), (std::set<std::string>{"KorvaneVPN", "KorvaneVPN.kvnsig", "directory"}));
}

SigningIdentity withCertificate(std::string pem) {
    SigningIdentity identity = devSigningIdentity();
    identity.certificatePem = std::move(pem);
    return identity;
}

SigningIdentity withKey(std::string pem) {
    SigningIdentity identity = devSigningIdentity();
    identity.privateKeyPem = std::move(pem);
    return identity;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignRefusal,
    ::testing::Values(
        RefusalCase{"KeyOfAnotherCertificate",
                    [] { return withKey(testkit::makeAnchor("Someone Else").privateKeyPem); }, std::string(kIdentifier),
                    "KorvaneVPN"},
        RefusalCase{"CertificateNotPem", [] { return withCertificate("not a certificate"); }, std::string(kIdentifier),
                    "KorvaneVPN"},
        RefusalCase{"CertificateWithChainAttached",
                    [] {
                        return withCertificate(testkit::devIdentity().certificatePem +
                                               testkit::devAnchor().certificatePem);
                    },
                    std::string(kIdentifier), "KorvaneVPN"},
        RefusalCase{"KeyNotPem", [] { return withKey("not a key"); }, std::string(kIdentifier), "KorvaneVPN"},
        RefusalCase{"ChainNotPem",
                    [] {
                        SigningIdentity identity = devSigningIdentity();
                        identity.chainPem = "not a chain";
                        return identity;
                    },
                    std::string(kIdentifier), "KorvaneVPN"},
        RefusalCase{"EmptyIdentifier", devSigningIdentity, "", "KorvaneVPN"},
        RefusalCase{"OverlongIdentifier", devSigningIdentity, std::string(kMaxIdentifierBytes + 1, 'a'), "KorvaneVPN"},
        RefusalCase{"MissingExecutable", devSigningIdentity, std::string(kIdentifier), "absent"},
        RefusalCase{"DirectoryAsExecutable", devSigningIdentity, std::string(kIdentifier), "directory"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// --- kvn-codesign ----------------------------------------------------------------------------

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

ToolRun runTool(const fs::path& outputFile, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KVN_CODESIGN_PATH);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, KVN_CODESIGN_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ToolRun run;
    int status = 0;
    if (error != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return run;
    run.exitCode = WEXITSTATUS(status);
    run.output = testkit::readFile(outputFile);
    return run;
}

TEST(KvnCodesign, SignsAndVerifies) {
    ScratchDirectory directory;
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    const fs::path output = directory.path() / "output";
    const std::string exe = executable.string();

    const ToolRun sign = runTool(output, {"sign", "--identifier", std::string(kIdentifier), "--cert",
                                      KORVANE_DEV_IDENTITY_PEM, "--key", KORVANE_DEV_IDENTITY_KEY, exe});
    ASSERT_EQ(sign.exitCode, 0);
    EXPECT_EQ(staticStatus(executable), errSecSuccess);

    const ToolRun valid = runTool(output, {"verify", "--anchor", KORVANE_DEV_ANCHOR_PEM, "--requirement",
                                       std::string(kProductRequirement), exe});
    EXPECT_EQ(valid.exitCode, 0);
    EXPECT_NE(valid.output.find("errSecSuccess"), std::string::npos) << valid.output;

    const ToolRun wrongIdentifier = runTool(output, {"verify", "--anchor", KORVANE_DEV_ANCHOR_PEM, "--requirement",
                                                 R"(identifier "com.korvane.other")", exe});
    EXPECT_EQ(wrongIdentifier.exitCode, 1);
    EXPECT_NE(wrongIdentifier.output.find("errSecCSReqFailed"), std::string::npos) << wrongIdentifier.output;

    const ToolRun badRequirement =
        runTool(output, {"verify", "--anchor", KORVANE_DEV_ANCHOR_PEM, "--requirement", "identifier", exe});
    EXPECT_EQ(badRequirement.exitCode, 1);
    EXPECT_NE(badRequirement.output.find("errSecCSReqInvalid"), std::string::npos) << badRequirement.output;
}

TEST(KvnCodesign, RefusesBadCommandLines) {
    ScratchDirectory directory;
    const fs::path executable = directory.copyOf("/bin/true", "KorvaneVPN");
    const fs::path output = directory.path() / "output";
    const std::string exe = executable.string();
    const std::string missing = (directory.path() / "missing.pem").string();
    constexpr int kUsage = 2;
    constexpr int kFailure = 1;

    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, kUsage},
        {{"frobnicate", exe}, kUsage},
        {{"sign", "--identifier", "x", "--cert", KORVANE_DEV_IDENTITY_PEM, exe}, kUsage},
        {{"sign", "--identifier", "x", "--cert", KORVANE_DEV_IDENTITY_PEM, "--key", KORVANE_DEV_IDENTITY_KEY}, kUsage},
        {{"sign", "--identifier", "x", "--cert", KORVANE_DEV_IDENTITY_PEM, "--key", KORVANE_DEV_IDENTITY_KEY, "--bogus",
          "y", exe},
         kUsage},
        {{"sign", "--identifier", "x", "--cert", missing, "--key", KORVANE_DEV_IDENTITY_KEY, exe}, kFailure},
        {{"verify", "--anchor", missing, "--requirement", std::string(kProductRequirement), exe}, kFailure},
    };
    for (const auto& [arguments, expected] : cases) {
        std::string line;
        for (const std::string& argument : arguments) line += argument + " ";
        EXPECT_EQ(runTool(output, arguments).exitCode, expected) << line;
    }
    EXPECT_FALSE(fs::exists(signaturePathFor(executable)));
}

}  // namespace
}  // namespace korvane::codesign
