#pragma once
// The daemon's embedded information dictionary (what a bundle's Info.plist holds), and the
// version and build read from it.
#include <map>
#include <string>
#include <variant>

namespace korvane {

using InfoValue = std::variant<std::string, bool>;
using InfoDictionary = std::map<std::string, InfoValue>;

// Compiled into the daemon; the version comes from the build.
const InfoDictionary& embeddedInfoDictionary();

struct BuildInfo {
    std::string version;
    std::string build;

    // "CFBundleShortVersionString" and "CFBundleVersion" when present as text, else "0.0" and
    // "0"; with no dictionary at all, both defaults.
    static BuildInfo from(const InfoDictionary* info);
};

} // namespace korvane
