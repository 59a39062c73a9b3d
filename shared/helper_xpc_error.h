#pragma once
// The one error that crosses the IPC boundary between the application and the daemon.
// It is both the wire record {"kind": <case name>, "detail": <text>} and, inside either
// program, the exception that carries a failure to the point where it is replied or shown.
#include "shared/json_strict.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

class HelperXpcError : public std::exception {
public:
    enum class Kind {
        protocolMismatch,
        decodeFailed,
        pfctlFailed,
        stateWriteFailed,
        missingTunnelInterface,
        internalError,
        certInstallFailed,
        certFingerprintMismatch,
        certRemoveFailed,
        wireguardConfigInvalid,
        wireguardSpawnFailed,
        wireguardSocketTimeout,
        wireguardSetConfigFailed,
        wireguardRoutingFailed,
        wireguardDnsFailed,
        wireguardNotRunning,
        stealthConfigInvalid,
        stealthSpawnFailed,
        stealthTunTimeout,
        stealthDnsFailed,
        stealthNotRunning,
    };
    static constexpr int kKindCount = 21;

    static std::string_view rawValue(Kind kind);
    static std::optional<Kind> kindFromRawValue(std::string_view raw);

    HelperXpcError(Kind kind, std::string detail);

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }

    // The message shown for this error; never empty.
    const std::string& errorDescription() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    Json toJson() const;
    static HelperXpcError fromJson(const Json& document);

    friend bool operator==(const HelperXpcError& a, const HelperXpcError& b) {
        return a.kind_ == b.kind_ && a.detail_ == b.detail_;
    }

private:
    Kind kind_;
    std::string detail_;
    std::string message_;
};

} // namespace korvane
