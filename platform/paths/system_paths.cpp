#include "system_paths.h"

#include <cstdlib>
#include <mutex>

namespace korvane::paths {
namespace {

constexpr std::string_view kRootVariable = "KORVANE_ROOT";
constexpr std::string_view kMachServiceDirectory = "/var/run/korvane";
constexpr std::string_view kHelperStateDirectory = "/Library/Application Support/KorvaneVPN";

std::mutex rootLock;
bool rootLoaded = false;
std::filesystem::path rootPrefix;

} // namespace

const std::filesystem::path& root() {
    std::lock_guard lock(rootLock);
    if (!rootLoaded) {
        if (const char* value = std::getenv(kRootVariable.data()); value != nullptr && *value != '\0') {
            rootPrefix = value;
        }
        rootLoaded = true;
    }
    return rootPrefix;
}

std::filesystem::path underRoot(std::string_view absolutePath) {
    const auto& prefix = root();
    if (prefix.empty()) {
        return std::filesystem::path(absolutePath);
    }
    std::string_view relative = absolutePath;
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    return prefix / relative;
}

std::filesystem::path machServiceSocket(std::string_view machServiceName) {
    return underRoot(kMachServiceDirectory) / (std::string(machServiceName) + ".sock");
}

std::filesystem::path helperStateDirectory() {
    return underRoot(kHelperStateDirectory);
}

void setRootForTesting(const std::filesystem::path& newRoot) {
    std::lock_guard lock(rootLock);
    rootPrefix = newRoot;
    rootLoaded = true;
}

} // namespace korvane::paths
