#include "helper/helper_service.h"

#include "helper/helper_log.h"
#include "helper/helper_shutdown.h"
#include "shared/helper_ping_response.h"
#include "shared/helper_xpc_error.h"
#include "shared/helper_xpc_protocol.h"

#include <thread>

namespace korvane {
namespace {

// Until their managers exist, request-taking calls still decode the one member every request
// record carries, so version checking works for every call from the start.
struct VersionedRequest {
    std::uint32_t protocolVersion = 0;

    static VersionedRequest fromJson(const Json& document) {
        json::requireObject(document, "the request");
        return VersionedRequest{json::required<std::uint32_t>(document, "protocolVersion")};
    }
};

// Log texts of one request-taking method.
struct MethodLogs {
    std::string_view name;
    bool logsHelperError;   // the start calls log a thrown helper error; the others do not
};

std::optional<Bytes> encodeOrNil(const auto& record) {
    try {
        return json::encodeRecord(record);
    } catch (const std::exception&) {
        return std::nullopt;   // an unencodable reply is answered with no data
    }
}

HelperXpcError notAvailable(std::string_view selector) {
    return HelperXpcError(HelperXpcError::Kind::internalError,
                          std::string(selector) + " is not available in this build");
}

// The end of every call: run the work and reply its result, or turn what it threw into the
// failure reply.
template <typename Work, typename FailureReply>
void runWork(const MethodLogs& logs, const HelperService::Reply& reply, FailureReply failureReply, Work work) {
    try {
        reply(work());
    } catch (const HelperXpcError& error) {
        if (logs.logsHelperError) {
            HelperLog::service().error("{} helper error: kind={} detail={}", logs.name,
                                       HelperXpcError::rawValue(error.kind()), error.detail());
        }
        reply(failureReply(error));
    } catch (const std::exception& error) {
        HelperLog::service().error("{} unexpected error: {}", logs.name, error.what());
        reply(failureReply(HelperXpcError(HelperXpcError::Kind::internalError, error.what())));
    }
}

} // namespace

std::shared_ptr<HelperService> HelperService::shared() {
    static const auto instance = std::make_shared<HelperService>(&embeddedInfoDictionary());
    return instance;
}

HelperService::HelperService(const InfoDictionary* info, std::function<void()> onProtocolMismatch)
    : buildInfo_(BuildInfo::from(info)),
      onProtocolMismatch_(onProtocolMismatch ? std::move(onProtocolMismatch) : scheduleProtocolMismatchExit) {}

xpc::XpcInterface HelperService::exportedInterface() {
    xpc::XpcInterface interface;
    for (const auto& info : kHelperSelectors) {
        interface.methods.push_back({std::string(info.name), info.takesArgument});
    }
    return interface;
}

void HelperService::handleCall(std::string_view selector, std::optional<xpc::Data> argument, xpc::XpcReply reply) {
    const Reply send = [reply](std::optional<Bytes> data) { reply(std::move(data)); };
    const Bytes bytes = argument.value_or(Bytes{});
    const auto which = selectorNamed(selector);
    if (!which) {
        return;   // the channel only delivers selectors of the exported interface
    }
    switch (*which) {
    case HelperSelector::ping: return ping(send);
    case HelperSelector::applyPolicy: return applyPolicy(bytes, send);
    case HelperSelector::reset: return reset(send);
    case HelperSelector::installIKEv2ServerCertificate: return installIKEv2ServerCertificate(bytes, send);
    case HelperSelector::removeIKEv2ServerCertificates: return removeIKEv2ServerCertificates(send);
    case HelperSelector::startWireGuard: return startWireGuard(bytes, send);
    case HelperSelector::stopWireGuard: return stopWireGuard(send);
    case HelperSelector::getWireGuardStatus: return getWireGuardStatus(send);
    case HelperSelector::startStealth: return startStealth(bytes, send);
    case HelperSelector::stopStealth: return stopStealth(send);
    case HelperSelector::getStealthStatus: return getStealthStatus(send);
    }
}

void HelperService::ping(const Reply& reply) {
    HelperLog::service().notice("ping");
    reply(encodeOrNil(HelperPingResponse{buildInfo_.version, buildInfo_.build, kHelperProtocolVersion}));
}

namespace {

// The start of every request-taking call: decode the request and check its version. Nothing is
// returned when the call has already been answered.
template <typename Request, typename FailureReply>
std::optional<Request> admit(const MethodLogs& logs, const Bytes& argument, const HelperService::Reply& reply,
                             FailureReply failureReply, const std::function<void()>& onMismatch) {
    Request request;
    try {
        request = json::decodeRecord<Request>(argument);
    } catch (const std::exception& error) {
        HelperLog::service().error("{} decode failed: {}", logs.name, error.what());
        reply(failureReply(HelperXpcError(HelperXpcError::Kind::decodeFailed, error.what())));
        return std::nullopt;
    }
    if (request.protocolVersion != kHelperProtocolVersion) {
        HelperLog::service().error("{} protocol mismatch: host={} helper={}", logs.name, request.protocolVersion,
                                   kHelperProtocolVersion);
        reply(failureReply(HelperXpcError(HelperXpcError::Kind::protocolMismatch,
                                          "host=" + std::to_string(request.protocolVersion) +
                                              " helper=" + std::to_string(kHelperProtocolVersion))));
        onMismatch();
        return std::nullopt;
    }
    return request;
}

// The failure reply of the calls that answer a bare error document.
std::optional<Bytes> errorDocument(const HelperXpcError& error) {
    return encodeOrNil(error);
}

// The body of a call whose manager this build does not have yet.
void answerNotAvailable(const MethodLogs& logs, std::string_view selector, const HelperService::Reply& reply) {
    runWork(logs, reply, errorDocument, [selector]() -> std::optional<Bytes> { throw notAvailable(selector); });
}

} // namespace

void HelperService::applyPolicy(const Bytes& argument, const Reply& reply) {
    const MethodLogs logs{"applyPolicy", false};
    if (!admit<VersionedRequest>(logs, argument, reply, errorDocument, onProtocolMismatch_)) return;
    answerNotAvailable(logs, "applyPolicy:reply:", reply);
}

void HelperService::reset(const Reply& reply) {
    answerNotAvailable(MethodLogs{"reset", false}, "resetWithReply:", reply);
}

void HelperService::installIKEv2ServerCertificate(const Bytes& argument, const Reply& reply) {
    const MethodLogs logs{"installIKEv2ServerCertificate", false};
    if (!admit<VersionedRequest>(logs, argument, reply, errorDocument, onProtocolMismatch_)) return;
    answerNotAvailable(logs, "installIKEv2ServerCertificate:reply:", reply);
}

void HelperService::removeIKEv2ServerCertificates(const Reply& reply) {
    answerNotAvailable(MethodLogs{"removeIKEv2ServerCertificates", false}, "removeIKEv2ServerCertificatesWithReply:", reply);
}

void HelperService::startWireGuard(const Bytes& argument, const Reply& reply) {
    const MethodLogs logs{"startWireGuard", true};
    if (!admit<VersionedRequest>(logs, argument, reply, errorDocument, onProtocolMismatch_)) return;
    answerNotAvailable(logs, "startWireGuard:reply:", reply);
}

void HelperService::stopWireGuard(const Reply& reply) {
    answerNotAvailable(MethodLogs{"stopWireGuard", false}, "stopWireGuardWithReply:", reply);
}

void HelperService::getWireGuardStatus(const Reply& reply) {
    answerNotAvailable(MethodLogs{"getWireGuardStatus", false}, "getWireGuardStatusWithReply:", reply);
}

void HelperService::startStealth(const Bytes& argument, const Reply& reply) {
    const MethodLogs logs{"startStealth", true};
    if (!admit<VersionedRequest>(logs, argument, reply, errorDocument, onProtocolMismatch_)) return;
    answerNotAvailable(logs, "startStealth:reply:", reply);
}

void HelperService::stopStealth(const Reply& reply) {
    answerNotAvailable(MethodLogs{"stopStealth", false}, "stopStealthWithReply:", reply);
}

void HelperService::getStealthStatus(const Reply& reply) {
    answerNotAvailable(MethodLogs{"getStealthStatus", false}, "getStealthStatusWithReply:", reply);
}

void HelperService::scheduleProtocolMismatchExit() {
    std::thread([] {
        std::this_thread::sleep_for(kProtocolMismatchExitDelay);
        HelperLog::service().notice("protocol mismatch \u2014 exiting so launchd reloads our binary");
        HelperShutdown::exitProcess(0);
    }).detach();
}

} // namespace korvane
