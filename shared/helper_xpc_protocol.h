#pragma once
// The daemon's IPC contract: the service name, the contract version and the eleven selectors.
// Every argument and every reply is a JSON document; a selector takes at most one.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvane {

inline constexpr std::string_view kHelperMachServiceName = "com.korvane.vpn.helper.xpc";
inline constexpr std::uint32_t kHelperProtocolVersion = 7;

enum class HelperSelector {
    ping,
    applyPolicy,
    reset,
    installIKEv2ServerCertificate,
    removeIKEv2ServerCertificates,
    startWireGuard,
    stopWireGuard,
    getWireGuardStatus,
    startStealth,
    stopStealth,
    getStealthStatus,
};

struct HelperSelectorInfo {
    HelperSelector selector;
    std::string_view name;   // the selector as it travels on the channel
    bool takesArgument;
};

inline constexpr std::array<HelperSelectorInfo, 11> kHelperSelectors{{
    {HelperSelector::ping, "pingWithReply:", false},
    {HelperSelector::applyPolicy, "applyPolicy:reply:", true},
    {HelperSelector::reset, "resetWithReply:", false},
    {HelperSelector::installIKEv2ServerCertificate, "installIKEv2ServerCertificate:reply:", true},
    {HelperSelector::removeIKEv2ServerCertificates, "removeIKEv2ServerCertificatesWithReply:", false},
    {HelperSelector::startWireGuard, "startWireGuard:reply:", true},
    {HelperSelector::stopWireGuard, "stopWireGuardWithReply:", false},
    {HelperSelector::getWireGuardStatus, "getWireGuardStatusWithReply:", false},
    {HelperSelector::startStealth, "startStealth:reply:", true},
    {HelperSelector::stopStealth, "stopStealthWithReply:", false},
    {HelperSelector::getStealthStatus, "getStealthStatusWithReply:", false},
}};

constexpr const HelperSelectorInfo& selectorInfo(HelperSelector selector) {
    return kHelperSelectors[static_cast<std::size_t>(selector)];
}

constexpr std::optional<HelperSelector> selectorNamed(std::string_view name) {
    for (const auto& info : kHelperSelectors) {
        if (info.name == name) return info.selector;
    }
    return std::nullopt;
}

} // namespace korvane
