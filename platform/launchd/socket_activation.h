#pragma once
// The daemon's side of on-demand start.
//
// On macOS launchd owns the daemon's Mach service and starts the daemon when a client connects.
// Here the service is a Unix stream socket owned by korvane-launchd (or by a systemd .socket
// unit); the owner hands the listening socket to the daemon the way systemd socket activation
// does: fd 3, LISTEN_FDS=1, LISTEN_PID=<the daemon's pid>, LISTEN_FDNAMES=<service name>.
// A daemon started by hand binds the socket itself with bindListenSocket().
#include <filesystem>
#include <optional>

namespace korvane::launchd {

// The first handed-over descriptor, as systemd defines it.
inline constexpr int kListenFdsStart = 3;

// 200 clients may connect at once while the daemon is still starting.
inline constexpr int kListenBacklog = 512;

// Takes the listening socket handed over by the launcher. Accepts it only when LISTEN_PID is this
// process and LISTEN_FDS >= 1, and fd 3 is a listening AF_UNIX stream socket; marks the handed
// descriptors close-on-exec. LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES are removed from the
// environment whatever the outcome, so no child of the daemon sees them. Edits the environment:
// call it early, before the daemon starts threads.
std::optional<int> takeActivatedListenSocket();

// Binds and listens on `path` (mode 0666, close-on-exec, backlog kListenBacklog), creating the
// parent directory if needed. A socket file left behind by a listener that is gone is replaced;
// a file that is not a socket, or a socket someone still listens on, is left alone and reported.
// Throws std::system_error naming the step and the path.
int bindListenSocket(const std::filesystem::path& path);

} // namespace korvane::launchd
