#pragma once
// The daemon's answer to a ping: who it is and which contract version it speaks.
#include "shared/json_strict.h"

#include <cstdint>
#include <string>

namespace korvane {

struct HelperPingResponse {
    std::string helperVersion;
    std::string helperBuild;
    std::uint32_t protocolVersion = 0;

    Json toJson() const;
    static HelperPingResponse fromJson(const Json& document);

    friend bool operator==(const HelperPingResponse&, const HelperPingResponse&) = default;
};

} // namespace korvane
