#include "shared/helper_ping_response.h"

namespace korvane {

Json HelperPingResponse::toJson() const {
    return Json{{"helperVersion", helperVersion}, {"helperBuild", helperBuild}, {"protocolVersion", protocolVersion}};
}

HelperPingResponse HelperPingResponse::fromJson(const Json& document) {
    json::requireObject(document, "HelperPingResponse");
    return HelperPingResponse{
        json::required<std::string>(document, "helperVersion"),
        json::required<std::string>(document, "helperBuild"),
        json::required<std::uint32_t>(document, "protocolVersion"),
    };
}

} // namespace korvane
