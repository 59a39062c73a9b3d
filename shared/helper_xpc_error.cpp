#include "shared/helper_xpc_error.h"

#include <array>

namespace korvane {
namespace {

enum class DetailShown { no, appended, parenthesised };

struct KindInfo {
    std::string_view raw;
    std::string_view literal;
    DetailShown detail;
};

using enum DetailShown;
constexpr std::array<KindInfo, HelperXpcError::kKindCount> kKinds{{
    {"protocolMismatch", "Korvane helper is out of date \u2014 please reinstall.", no},
    {"decodeFailed", "Korvane helper rejected an invalid policy payload (", parenthesised},
    {"pfctlFailed", "Kill-switch firewall update failed: ", appended},
    {"stateWriteFailed", "Kill-switch state could not be persisted: ", appended},
    {"missingTunnelInterface", "Kill-switch tunnelUp policy missing interface.", no},
    {"internalError", "Korvane helper internal error: ", appended},
    {"certInstallFailed", "Could not install the VPN server certificate: ", appended},
    {"certFingerprintMismatch", "VPN server certificate fingerprint mismatch (", parenthesised},
    {"certRemoveFailed", "Could not remove a previously-installed VPN server certificate: ", appended},
    {"wireguardConfigInvalid", "WireGuard configuration was rejected by the helper: ", appended},
    {"wireguardSpawnFailed", "Could not start the WireGuard userspace daemon: ", appended},
    {"wireguardSocketTimeout", "WireGuard daemon did not become ready in time: ", appended},
    {"wireguardSetConfigFailed", "WireGuard daemon refused the tunnel configuration: ", appended},
    {"wireguardRoutingFailed", "Could not install WireGuard routes / interface settings: ", appended},
    {"wireguardDnsFailed", "Could not install WireGuard DNS settings: ", appended},
    {"wireguardNotRunning", "WireGuard tunnel is not running.", no},
    {"stealthConfigInvalid", "Stealth configuration was rejected by the helper: ", appended},
    {"stealthSpawnFailed", "Could not start the Stealth engine: ", appended},
    {"stealthTunTimeout", "Stealth engine did not become ready in time: ", appended},
    {"stealthDnsFailed", "Could not install Stealth DNS settings: ", appended},
    {"stealthNotRunning", "Stealth tunnel is not running.", no},
}};

const KindInfo& info(HelperXpcError::Kind kind) {
    return kKinds.at(static_cast<std::size_t>(kind));
}

std::string message(HelperXpcError::Kind kind, const std::string& detail) {
    const auto& k = info(kind);
    std::string text(k.literal);
    switch (k.detail) {
    case no: break;
    case appended: text += detail; break;
    case parenthesised: text += detail; text += ")."; break;
    }
    return text;
}

} // namespace

std::string_view HelperXpcError::rawValue(Kind kind) {
    return info(kind).raw;
}

std::optional<HelperXpcError::Kind> HelperXpcError::kindFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < kKinds.size(); ++i) {
        if (kKinds[i].raw == raw) return static_cast<Kind>(i);
    }
    return std::nullopt;
}

HelperXpcError::HelperXpcError(Kind kind, std::string detail)
    : kind_(kind), detail_(std::move(detail)), message_(message(kind_, detail_)) {}

Json HelperXpcError::toJson() const {
    return Json{{"kind", std::string(rawValue(kind_))}, {"detail", detail_}};
}

HelperXpcError HelperXpcError::fromJson(const Json& document) {
    json::requireObject(document, "HelperXpcError");
    const auto kind = json::requiredEnum<Kind>(document, "kind", kindFromRawValue);
    return HelperXpcError(kind, json::required<std::string>(document, "detail"));
}

} // namespace korvane
