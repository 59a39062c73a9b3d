#include "helper/helper_log.h"

namespace korvane::HelperLog {

#define KORVANE_HELPER_LOGGER(name, category)            \
    const oslog::Logger& name() {                        \
        static const oslog::Logger logger(kSubsystem, category); \
        return logger;                                   \
    }

KORVANE_HELPER_LOGGER(listener, "listener")
KORVANE_HELPER_LOGGER(service, "service")
KORVANE_HELPER_LOGGER(pf, "pf")
KORVANE_HELPER_LOGGER(cert, "cert")
KORVANE_HELPER_LOGGER(wg, "wireguard")
KORVANE_HELPER_LOGGER(stealth, "stealth")

#undef KORVANE_HELPER_LOGGER

} // namespace korvane::HelperLog
