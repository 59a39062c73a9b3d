#include "shared/helper_xpc_error.h"

#include <gtest/gtest.h>

#include <set>

namespace korvane {
namespace {

using Kind = HelperXpcError::Kind;

struct MessageCase {
    Kind kind;
    const char* raw;
    const char* messageWithDetailD;
};

// The full table: every kind's raw value and its message for the detail "D".
const MessageCase kMessageCases[] = {
    {Kind::protocolMismatch, "protocolMismatch", "Korvane helper is out of date \u2014 please reinstall."},
    {Kind::decodeFailed, "decodeFailed", "Korvane helper rejected an invalid policy payload (D)."},
    {Kind::pfctlFailed, "pfctlFailed", "Kill-switch firewall update failed: D"},
    {Kind::stateWriteFailed, "stateWriteFailed", "Kill-switch state could not be persisted: D"},
    {Kind::missingTunnelInterface, "missingTunnelInterface", "Kill-switch tunnelUp policy missing interface."},
    {Kind::internalError, "internalError", "Korvane helper internal error: D"},
    {Kind::certInstallFailed, "certInstallFailed", "Could not install the VPN server certificate: D"},
    {Kind::certFingerprintMismatch, "certFingerprintMismatch", "VPN server certificate fingerprint mismatch (D)."},
    {Kind::certRemoveFailed, "certRemoveFailed", "Could not remove a previously-installed VPN server certificate: D"},
    {Kind::wireguardConfigInvalid, "wireguardConfigInvalid", "WireGuard configuration was rejected by the helper: D"},
    {Kind::wireguardSpawnFailed, "wireguardSpawnFailed", "Could not start the WireGuard userspace daemon: D"},
    {Kind::wireguardSocketTimeout, "wireguardSocketTimeout", "WireGuard daemon did not become ready in time: D"},
    {Kind::wireguardSetConfigFailed, "wireguardSetConfigFailed", "WireGuard daemon refused the tunnel configuration: D"},
    {Kind::wireguardRoutingFailed, "wireguardRoutingFailed", "Could not install WireGuard routes / interface settings: D"},
    {Kind::wireguardDnsFailed, "wireguardDnsFailed", "Could not install WireGuard DNS settings: D"},
    {Kind::wireguardNotRunning, "wireguardNotRunning", "WireGuard tunnel is not running."},
    {Kind::stealthConfigInvalid, "stealthConfigInvalid", "Stealth configuration was rejected by the helper: D"},
    {Kind::stealthSpawnFailed, "stealthSpawnFailed", "Could not start the Stealth engine: D"},
    {Kind::stealthTunTimeout, "stealthTunTimeout", "Stealth engine did not become ready in time: D"},
    {Kind::stealthDnsFailed, "stealthDnsFailed", "Could not install Stealth DNS settings: D"},
    {Kind::stealthNotRunning, "stealthNotRunning", "Stealth tunnel is not running."},
};

TEST(HelperXpcErrorTest, EveryKindHasItsRawValueAndMessage) {
    static_assert(std::size(kMessageCases) == HelperXpcError::kKindCount);
    std::set<std::string> raws;
    for (const auto& c : kMessageCases) {
        SCOPED_TRACE(c.raw);
        const HelperXpcError error(c.kind, "D");
        EXPECT_EQ(HelperXpcError::rawValue(c.kind), c.raw);
        EXPECT_EQ(HelperXpcError::kindFromRawValue(c.raw), c.kind);
        EXPECT_EQ(error.errorDescription(), c.messageWithDetailD);
        EXPECT_STREQ(error.what(), c.messageWithDetailD);
        raws.insert(c.raw);
    }
    EXPECT_EQ(raws.size(), std::size(kMessageCases));
}

TEST(HelperXpcErrorTest, EmptyDetailKeepsTheLiteralExactly) {
    EXPECT_EQ(HelperXpcError(Kind::internalError, "").errorDescription(), "Korvane helper internal error: ");
    EXPECT_EQ(HelperXpcError(Kind::decodeFailed, "").errorDescription(),
              "Korvane helper rejected an invalid policy payload ().");
    EXPECT_EQ(HelperXpcError(Kind::certFingerprintMismatch, "").errorDescription(),
              "VPN server certificate fingerprint mismatch ().");
    // The detail is appended unchanged: nothing trimmed, nothing quoted.
    EXPECT_EQ(HelperXpcError(Kind::pfctlFailed, "  two\nlines ").errorDescription(),
              "Kill-switch firewall update failed:   two\nlines ");
}

TEST(HelperXpcErrorTest, RoundTripsEveryKindAsTwoStringKeys) {
    for (const auto& c : kMessageCases) {
        SCOPED_TRACE(c.raw);
        const HelperXpcError error(c.kind, "detail \"quoted\" \u00e9");
        const Bytes bytes = json::encodeRecord(error);
        const Json doc = json::parse(bytes);
        ASSERT_EQ(doc.size(), 2u);
        EXPECT_TRUE(doc.at("kind").is_string());
        EXPECT_EQ(doc.at("kind"), c.raw);
        EXPECT_EQ(json::decodeRecord<HelperXpcError>(bytes), error);
    }
}

TEST(HelperXpcErrorTest, FixedTextKindsDecodeWithAnyDetail) {
    const auto error = HelperXpcError::fromJson(json::parse(std::string_view(
        R"({"detail": "host=6 helper=7", "kind": "protocolMismatch", "extra": 1})")));
    EXPECT_EQ(error.kind(), Kind::protocolMismatch);
    EXPECT_EQ(error.detail(), "host=6 helper=7");
    EXPECT_EQ(error.errorDescription(), "Korvane helper is out of date \u2014 please reinstall.");
}

TEST(HelperXpcErrorTest, DecodingRejectsBadDocuments) {
    const char* documents[] = {
        R"({"kind": "ProtocolMismatch", "detail": ""})",
        R"({"kind": "protocolmismatch", "detail": ""})",
        R"({"kind": "noSuchKind", "detail": ""})",
        R"({"kind": 0, "detail": ""})",
        R"({"kind": "wireguardNotRunning"})",
        R"({"kind": "wireguardNotRunning", "detail": null})",
        R"({"kind": "internalError", "detail": 5})",
        R"({"detail": "x"})",
        R"(["internalError", "x"])",
        R"("internalError")",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        EXPECT_THROW(HelperXpcError::fromJson(json::parse(std::string_view(document))), json::DecodeError);
    }
}

} // namespace
} // namespace korvane
