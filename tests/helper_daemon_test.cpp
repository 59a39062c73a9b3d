// End-to-end: the daemon started on demand by the launcher, called by real signed and unsigned
// client processes.
#include "platform/codesign/codesign_testkit.h"
#include "platform/xpc/xpc_frame.h"
#include "shared/helper_ping_response.h"
#include "shared/helper_xpc_error.h"
#include "tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
namespace testkit = codesign::testkit;

constexpr int kExitTransport = 2;
const std::string kInvalidated = "The connection to service named com.korvane.vpn.helper.xpc was invalidated.";

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

HelperXpcError errorOf(const ProcessResult& result) {
    return json::decodeRecord<HelperXpcError>(Bytes(result.out.begin(), result.out.end()));
}

class HelperDaemonTest : public ::testing::Test {
protected:
    DaemonHarness daemon;

    void expectPingWorks() {
        const auto result = daemon.call({"pingWithReply:"});
        ASSERT_EQ(result.exitCode, 0) << result.err << daemon.log();
        const auto ping = json::decodeRecord<HelperPingResponse>(Bytes(result.out.begin(), result.out.end() - 1));
        EXPECT_EQ(ping, (HelperPingResponse{"1.5.10", "10", 7}));
    }
};

TEST_F(HelperDaemonTest, SignedClientPingsTheDaemonStartedOnDemand) {
    EXPECT_TRUE(daemon.daemonPids().empty()) << "the daemon must not start before a client connects";
    expectPingWorks();
    ASSERT_EQ(daemon.daemonPids().size(), 1u);
    EXPECT_TRUE(daemon.waitForLog("KorvaneVPNHelper starting up (uid=" + std::to_string(getuid()) + ")"));
    EXPECT_TRUE(daemon.waitForLog(
        "listener resumed on machService=com.korvane.vpn.helper.xpc; waiting for connections"));
    EXPECT_TRUE(daemon.waitForLog("accepted XPC connection pid="));
    EXPECT_TRUE(daemon.waitForLog("connection invalidated pid="));
    EXPECT_TRUE(daemon.waitForLog("<notice> ping"));
}

TEST_F(HelperDaemonTest, PeersThatFailTheSigningRequirementAreRefusedWhileOthersAreServed) {
    const auto devAnchor = testkit::devAnchor();
    const auto otherAnchor = testkit::makeAnchor("Someone Else Root CA");
    const auto otherTeam = testkit::makeLeaf(devAnchor, "AAAAAAAAAA", "Developer ID Application: Other (AAAAAAAAAA)");
    const auto foreignLeaf = testkit::makeLeaf(otherAnchor, "ZK4HM8QT3V", "Developer ID Application: Korvane (ZK4HM8QT3V)");

    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> prepare;
    };
    const Case cases[] = {
        {"unsigned", [](const std::filesystem::path&) {}},
        {"another identifier",
         [](const std::filesystem::path& exe) { testkit::signExecutable(exe, "com.example.other", testkit::devIdentity()); }},
        {"another team OU",
         [&](const std::filesystem::path& exe) { testkit::signExecutable(exe, "com.korvane.vpn", otherTeam); }},
        {"another anchor",
         [&](const std::filesystem::path& exe) {
             testkit::signExecutable(exe, "com.korvane.vpn", foreignLeaf, otherAnchor.certificatePem);
         }},
        {"changed after signing",
         [](const std::filesystem::path& exe) {
             testkit::signExecutable(exe, "com.korvane.vpn", testkit::devIdentity());
             std::ofstream(exe, std::ios::app | std::ios::binary) << '\0';
         }},
    };
    expectPingWorks();
    const auto firstDaemon = daemon.daemonPids();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto client = daemon.copyOfClient(c.name);
        c.prepare(client);
        const auto result = daemon.call({"pingWithReply:"}, client);
        EXPECT_EQ(result.exitCode, kExitTransport);
        EXPECT_EQ(trimmed(result.err), "korvane-helperctl: " + kInvalidated);
        EXPECT_TRUE(daemon.waitForLog("rejecting peer pid=" + std::to_string(result.pid) +
                                      " \u2014 code-sign requirement check failed"));
        // The signed client is still served by the same daemon.
        expectPingWorks();
    }
    EXPECT_EQ(daemon.daemonPids(), firstDaemon);
    const std::string log = daemon.log();
    EXPECT_NE(log.find("SecCodeCheckValidity rejected peer: " + std::to_string(codesign::errSecCSUnsigned)),
              std::string::npos);
    EXPECT_NE(log.find("SecCodeCheckValidity rejected peer: " + std::to_string(codesign::errSecCSReqFailed)),
              std::string::npos);
    EXPECT_NE(log.find("SecCodeCheckValidity rejected peer: " + std::to_string(codesign::errSecCSSignatureFailed)),
              std::string::npos);
}

TEST_F(HelperDaemonTest, ProtocolMismatchEndsTheDaemonAndTheNextConnectionGetsAFreshOne) {
    expectPingWorks();
    const auto before = daemon.daemonPids();
    ASSERT_EQ(before.size(), 1u);

    const auto started = std::chrono::steady_clock::now();
    const auto result = daemon.call({"applyPolicy:reply:", R"({"protocolVersion": 6})"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto error = errorOf(result);
    EXPECT_EQ(error.kind(), HelperXpcError::Kind::protocolMismatch);
    EXPECT_EQ(error.detail(), "host=6 helper=7");

    ASSERT_TRUE(daemon.waitForLog("pid=" + std::to_string(before[0]) + " exited with status 0", 5s)) << daemon.log();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, 700ms);
    EXPECT_TRUE(daemon.waitForLog("protocol mismatch \u2014 exiting so launchd reloads our binary"));
    EXPECT_TRUE(daemon.waitForLog("applyPolicy protocol mismatch: host=6 helper=7"));

    expectPingWorks();
    const auto after = daemon.daemonPids();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_NE(after[1], before[0]);
}

TEST_F(HelperDaemonTest, UndecodableRequestGetsDecodeFailedAndTheDaemonGoesOn) {
    const auto result = daemon.call({"startWireGuard:reply:", "{\"protocolVersion\": 6"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(errorOf(result).kind(), HelperXpcError::Kind::decodeFailed);
    std::this_thread::sleep_for(1s);   // past the mismatch delay: a decode failure schedules no exit
    expectPingWorks();
    EXPECT_EQ(daemon.daemonPids().size(), 1u);
    EXPECT_EQ(daemon.log().find("exited with status"), std::string::npos);
}

TEST_F(HelperDaemonTest, BadFramesAffectOnlyTheirOwnConnection) {
    expectPingWorks();
    const pid_t daemonPid = daemon.daemonPids().at(0);

    struct Case { const char* name; xpc::Data bytes; };
    const xpc::Data truncated = [] {
        auto bytes = xpc::encodeFrame({xpc::FrameType::call, 1, "pingWithReply:", std::nullopt});
        bytes[3] += 5;   // the header promises more than the body holds, then the client hangs up
        return bytes;
    }();
    std::vector<Case> cases = {
        {"over the size limit", {0x01, 0x00, 0x00, 0x00, 1}},
        {"random bytes", {0x00, 0x00, 0x00, 0x08, 0x9C, 0x11, 0xF0, 0x00, 0x42, 0x42, 0x42, 0x42}},
        {"truncated", truncated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = daemon.root() / "frame.bin";
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(c.bytes.data()),
                                                    static_cast<std::streamsize>(c.bytes.size()));
        // Well inside the stall limit: these connections must be dropped for what they sent.
        const auto result = daemon.call({"--timeout", "3000", "--send-raw", file.string(), "--half-close"});
        EXPECT_EQ(trimmed(result.out), "closed by service") << result.err;
        expectPingWorks();
    }

    // Half a frame, then a stall: the others are served meanwhile, and the stalled connection
    // is dropped once the stall limit passes.
    const auto half = daemon.root() / "half.bin";
    std::ofstream(half, std::ios::binary).write("\x00\x00\x00\x40\x01\x00", 6);
    const pid_t staller = daemon.spawn({KORVANE_HELPERCTL_BINARY, "--timeout", "20000", "--send-raw", half.string()},
                                       "staller");
    for (int i = 0; i < 5; ++i) expectPingWorks();
    const auto stalled = daemon.wait(staller, "staller");
    EXPECT_EQ(trimmed(stalled.out), "closed by service");
    EXPECT_TRUE(daemon.waitForLog("stalled inside a frame"));
    EXPECT_EQ(daemon.daemonPids(), std::vector<pid_t>{daemonPid});
}

TEST_F(HelperDaemonTest, TwoHundredClientsAtOnceAllGetCorrectRepliesAndDescriptorsComeBack) {
    expectPingWorks();
    const pid_t daemonPid = daemon.daemonPids().at(0);
    // Let the first client's connection wind down before counting.
    ASSERT_TRUE(daemon.waitForLog("connection invalidated pid="));
    std::this_thread::sleep_for(200ms);
    const int descriptorsBefore = openDescriptors(daemonPid);

    constexpr int kClients = 200;
    std::vector<pid_t> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(daemon.spawn(
            {KORVANE_HELPERCTL_BINARY, "--timeout", "60000", "--repeat", "100", "pingWithReply:"},
            "load" + std::to_string(i)));
    }
    int ok = 0;
    for (int i = 0; i < kClients; ++i) {
        const auto result = daemon.wait(clients[i], "load" + std::to_string(i));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        if (result.exitCode != 0) continue;
        const auto ping = json::decodeRecord<HelperPingResponse>(Bytes(result.out.begin(), result.out.end() - 1));
        if (ping == HelperPingResponse{"1.5.10", "10", 7}) ++ok;
    }
    EXPECT_EQ(ok, kClients);

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (openDescriptors(daemonPid) != descriptorsBefore && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(openDescriptors(daemonPid), descriptorsBefore);
    EXPECT_EQ(daemon.daemonPids(), std::vector<pid_t>{daemonPid});
}

} // namespace
} // namespace korvane::testing
