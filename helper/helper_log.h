#pragma once
// The daemon's log channels, all under the subsystem "com.korvane.vpn.helper".
#include "platform/oslog/logger.h"

namespace korvane::HelperLog {

inline constexpr const char* kSubsystem = "com.korvane.vpn.helper";

const oslog::Logger& listener();
const oslog::Logger& service();
const oslog::Logger& pf();
const oslog::Logger& cert();
const oslog::Logger& wg();        // category "wireguard"
const oslog::Logger& stealth();

} // namespace korvane::HelperLog
