#pragma once
// The one object the daemon exports: it receives every call of every accepted connection,
// decodes the request, turns away a client of another contract version, runs the work on the
// manager that owns it, and answers each call exactly once before returning.
#include "helper/helper_info.h"
#include "platform/xpc/xpc_interface.h"
#include "shared/json_strict.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace korvane {

inline constexpr std::chrono::milliseconds kProtocolMismatchExitDelay{750};

class HelperService : public xpc::XpcExportedObject {
public:
    using Reply = std::function<void(std::optional<Bytes>)>;

    // The daemon's instance, made at the first accepted connection.
    static std::shared_ptr<HelperService> shared();

    // `info` is the information dictionary to read the version from (none: defaults);
    // `onProtocolMismatch` replaces the delayed exit (tests).
    explicit HelperService(const InfoDictionary* info, std::function<void()> onProtocolMismatch = nullptr);

    // The exported interface: every selector of the contract.
    static xpc::XpcInterface exportedInterface();

    void handleCall(std::string_view selector, std::optional<xpc::Data> argument, xpc::XpcReply reply) override;

    void ping(const Reply& reply);
    void applyPolicy(const Bytes& argument, const Reply& reply);
    void reset(const Reply& reply);
    void installIKEv2ServerCertificate(const Bytes& argument, const Reply& reply);
    void removeIKEv2ServerCertificates(const Reply& reply);
    void startWireGuard(const Bytes& argument, const Reply& reply);
    void stopWireGuard(const Reply& reply);
    void getWireGuardStatus(const Reply& reply);
    void startStealth(const Bytes& argument, const Reply& reply);
    void stopStealth(const Reply& reply);
    void getStealthStatus(const Reply& reply);

    const BuildInfo& buildInfo() const { return buildInfo_; }

private:
    // Logs and ends the process with status 0 after kProtocolMismatchExitDelay.
    static void scheduleProtocolMismatchExit();

    const BuildInfo buildInfo_;
    const std::function<void()> onProtocolMismatch_;
};

} // namespace korvane
