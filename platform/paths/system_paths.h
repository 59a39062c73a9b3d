#pragma once
// Where the system's fixed paths live on this machine.
//
// The product names absolute macOS paths (the daemon's state directory, the engines' control
// sockets, the Mach service). Here every one of them is resolved under one root prefix so the
// tests and the Linux demo can run side by side with a real install. The prefix comes from
// KORVANE_ROOT, read once; nothing else in the project reads the environment for configuration.
#include <filesystem>
#include <string>
#include <string_view>

namespace korvane::paths {

// The root prefix ("" for a real install).
const std::filesystem::path& root();

// A system path such as "/var/run/wireguard" placed under the root prefix.
std::filesystem::path underRoot(std::string_view absolutePath);

// The Unix socket that stands in for a Mach service name.
std::filesystem::path machServiceSocket(std::string_view machServiceName);

// "/Library/Application Support/KorvaneVPN" under the root prefix.
std::filesystem::path helperStateDirectory();

// Tests only: replace the root prefix for the rest of the process.
void setRootForTesting(const std::filesystem::path& root);

} // namespace korvane::paths
