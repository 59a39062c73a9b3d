// A daemon for the launcher's tests only.
//
//   launchd_test_daemon [--connections N] [--exit-immediately CODE] [--ignore-sigterm]
//
// Takes the activated socket and serves one connection at a time. Each client first reads one
// line describing this process:
//   pid=<pid> listen_pid=<v> listen_fds=<v> listen_fdnames=<v> env_cleared=<0|1> cloexec=<0|1>
//   inherited_fds=<n>
// (the LISTEN_* values as they were at start, "-" when absent; inherited_fds counts descriptors
// open at start besides 0-3), then may send "exit <code>\n"
// to make the daemon exit with that code. The daemon exits 0 after N connections have closed.
#include "platform/launchd/socket_activation.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kNotActivatedStatus = 3;
constexpr int kUsageStatus = 2;

std::string variableOrDash(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "-";
}

// Descriptors open at start other than stdio and the activated socket.
int countInheritedDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const int fd = std::atoi(entry->d_name);
        if (fd > korvane::launchd::kListenFdsStart && fd != dirfd(directory)) {
            ++count;
        }
    }
    closedir(directory);
    return count;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Serves one client; returns the exit code it asked for, or -1 when it just closed.
int serve(int connection, const std::string& description) {
    if (!writeAll(connection, description)) {
        return -1;
    }
    std::string line;
    char buffer[256];
    for (;;) {
        const ssize_t received = read(connection, buffer, sizeof(buffer));
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return -1;
        }
        line.append(buffer, static_cast<std::size_t>(received));
        std::size_t newline;
        while ((newline = line.find('\n')) != std::string::npos) {
            const std::string command = line.substr(0, newline);
            line.erase(0, newline + 1);
            if (command.starts_with("exit ")) {
                return std::atoi(command.c_str() + 5);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    long connectionLimit = -1;
    int exitImmediately = -1;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "--connections" && index + 1 < argc) {
            connectionLimit = std::atol(argv[++index]);
        } else if (argument == "--exit-immediately" && index + 1 < argc) {
            exitImmediately = std::atoi(argv[++index]);
        } else if (argument == "--ignore-sigterm") {
            signal(SIGTERM, SIG_IGN);
        } else {
            std::fprintf(stderr, "launchd_test_daemon: unexpected argument %s\n", argv[index]);
            return kUsageStatus;
        }
    }
    if (exitImmediately >= 0) {
        return exitImmediately;
    }

    const int inheritedDescriptors = countInheritedDescriptors();
    const std::string listenPid = variableOrDash("LISTEN_PID");
    const std::string listenFds = variableOrDash("LISTEN_FDS");
    const std::string listenFdNames = variableOrDash("LISTEN_FDNAMES");

    const std::optional<int> listener = korvane::launchd::takeActivatedListenSocket();
    if (!listener) {
        std::fprintf(stderr, "launchd_test_daemon: no activated socket\n");
        return kNotActivatedStatus;
    }
    const bool envCleared = std::getenv("LISTEN_PID") == nullptr && std::getenv("LISTEN_FDS") == nullptr
        && std::getenv("LISTEN_FDNAMES") == nullptr;
    const bool cloexec = (fcntl(*listener, F_GETFD) & FD_CLOEXEC) != 0;
    const std::string description = "pid=" + std::to_string(getpid()) + " listen_pid=" + listenPid
        + " listen_fds=" + listenFds + " listen_fdnames=" + listenFdNames
        + " env_cleared=" + (envCleared ? "1" : "0") + " cloexec=" + (cloexec ? "1" : "0") + " inherited_fds=" + std::to_string(inheritedDescriptors) + "\n";

    // A client that closes early must not kill the daemon.
    signal(SIGPIPE, SIG_IGN);
    long served = 0;
    while (connectionLimit < 0 || served < connectionLimit) {
        const int connection = accept4(*listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("launchd_test_daemon: accept");
            return 1;
        }
        const int requested = serve(connection, description);
        close(connection);
        if (requested >= 0) {
            return requested;
        }
        ++served;
    }
    return 0;
}
