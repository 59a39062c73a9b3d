#pragma once
// The daemon's front door: admits a connection only when the peer process is the signed
// application, then hands it to the exported service.
#include "platform/xpc/xpc_listener.h"

#include <optional>
#include <string_view>

namespace korvane {

// The code-signing requirement every client must satisfy.
inline constexpr std::string_view kClientRequirement =
    R"(anchor apple generic and identifier "com.korvane.vpn" and certificate leaf[subject.OU] = "ZK4HM8QT3V")";

class HelperListenerDelegate : public xpc::XpcListenerDelegate {
public:
    bool shouldAcceptNewConnection(xpc::XpcListener& listener, xpc::XpcConnection& connection) override;

private:
    bool validatePeer(const xpc::XpcConnection& connection) const;
    static std::optional<xpc::XpcAuditToken> auditToken(const xpc::XpcConnection& connection);
};

} // namespace korvane
