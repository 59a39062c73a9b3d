#include "helper/helper_listener_delegate.h"

#include "helper/helper_log.h"
#include "helper/helper_service.h"
#include "platform/codesign/code_signing.h"

namespace korvane {

bool HelperListenerDelegate::shouldAcceptNewConnection(xpc::XpcListener&, xpc::XpcConnection& connection) {
    const pid_t pid = connection.processIdentifier();
    if (!validatePeer(connection)) {
        HelperLog::listener().error("rejecting peer pid={} \u2014 code-sign requirement check failed", pid);
        return false;
    }
    connection.setExportedInterface(HelperService::exportedInterface());
    connection.setExportedObject(HelperService::shared());
    // The handlers only log: the daemon keeps no per-connection state, and engines, rules and
    // routes stay as they are when a client goes away.
    connection.setInterruptionHandler([pid] { HelperLog::listener().notice("connection interrupted pid={}", pid); });
    connection.setInvalidationHandler([pid] { HelperLog::listener().notice("connection invalidated pid={}", pid); });
    connection.resume();
    HelperLog::listener().notice("accepted XPC connection pid={}", pid);
    return true;
}

std::optional<xpc::XpcAuditToken> HelperListenerDelegate::auditToken(const xpc::XpcConnection& connection) {
    return connection.auditToken();
}

bool HelperListenerDelegate::validatePeer(const xpc::XpcConnection& connection) const {
    const auto token = auditToken(connection);
    if (!token) {
        HelperLog::listener().error("could not extract audit_token_t from connection");
        return false;
    }
    std::unique_ptr<codesign::Code> code;
    codesign::OSStatus status = codesign::copyGuestWithAttributes(codesign::GuestAttributes{token->pid, token->pidfd}, code);
    if (status != codesign::errSecSuccess || !code) {
        HelperLog::listener().error("SecCodeCopyGuestWithAttributes failed: {}", status);
        return false;
    }
    // Built from the constant text on every call; nothing is cached.
    std::unique_ptr<codesign::Requirement> requirement;
    status = codesign::requirementCreateWithString(kClientRequirement, requirement);
    if (status != codesign::errSecSuccess || !requirement) {
        HelperLog::listener().error("SecRequirementCreateWithString failed: {}", status);
        return false;
    }
    status = codesign::checkValidity(*code, *requirement);
    if (status != codesign::errSecSuccess) {
        HelperLog::listener().error("SecCodeCheckValidity rejected peer: {}", status);
        return false;
    }
    return true;
}

} // namespace korvane
