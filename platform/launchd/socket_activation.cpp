#include "platform/launchd/socket_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace korvane::launchd {
namespace {

constexpr const char* kListenPidVariable = "LISTEN_PID";
constexpr const char* kListenFdsVariable = "LISTEN_FDS";
constexpr const char* kListenFdNamesVariable = "LISTEN_FDNAMES";

// More handed-over descriptors than this is a corrupt environment, not a hand-over.
constexpr long kMaxListenFds = 1024;

constexpr mode_t kSocketMode = 0666;

[[noreturn]] void throwErrno(int error, std::string_view step, const std::filesystem::path& path) {
    throw std::system_error(error, std::generic_category(),
                            std::string(step) + " " + path.string());
}

// A whole decimal number, nothing around it.
std::optional<long> parseDecimal(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::string_view view(text);
    long value = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (view.empty() || error != std::errc() || end != view.data() + view.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> intSocketOption(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof(value);
    if (getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0 || length != sizeof(value)) {
        return std::nullopt;
    }
    return value;
}

bool isListeningUnixStream(int fd) {
    return intSocketOption(fd, SO_DOMAIN) == AF_UNIX && intSocketOption(fd, SO_TYPE) == SOCK_STREAM
        && intSocketOption(fd, SO_ACCEPTCONN) == 1;
}

void setCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) {
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

sockaddr_un socketAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof(address.sun_path)) {
        throwErrno(text.empty() ? EINVAL : ENAMETOOLONG, "socket path", path);
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

// A socket file whose listener is gone refuses connections; only then is it ours to replace.
// The probe is non-blocking so a listener with a full backlog counts as alive, not as a hang.
bool hasLiveListener(const sockaddr_un& address, const std::filesystem::path& path) {
    Descriptor probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) {
        throwErrno(errno, "socket for probing", path);
    }
    if (connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        return true;
    }
    switch (errno) {
    case ECONNREFUSED:
        return false;
    case EAGAIN:
    case EINPROGRESS:
        return true;
    default:
        throwErrno(errno, "probe existing socket", path);
    }
}

void removeStaleSocket(const sockaddr_un& address, const std::filesystem::path& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throwErrno(errno, "stat", path);
    }
    if (!S_ISSOCK(status.st_mode)) {
        throwErrno(EEXIST, "refusing to replace a file that is not a socket:", path);
    }
    if (hasLiveListener(address, path)) {
        throwErrno(EADDRINUSE, "another process is listening on", path);
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        throwErrno(errno, "remove stale socket", path);
    }
}

} // namespace

std::optional<int> takeActivatedListenSocket() {
    const std::optional<long> listenPid = parseDecimal(std::getenv(kListenPidVariable));
    const std::optional<long> listenFds = parseDecimal(std::getenv(kListenFdsVariable));

    // Whatever happens next, the hand-over was for this process only.
    unsetenv(kListenPidVariable);
    unsetenv(kListenFdsVariable);
    unsetenv(kListenFdNamesVariable);

    if (!listenPid || *listenPid != static_cast<long>(getpid())) {
        return std::nullopt;
    }
    if (!listenFds || *listenFds < 1 || *listenFds > kMaxListenFds) {
        return std::nullopt;
    }
    // Every handed descriptor stays with the daemon; none leaks into the programs it runs.
    for (long fd = kListenFdsStart; fd < kListenFdsStart + *listenFds; ++fd) {
        setCloseOnExec(static_cast<int>(fd));
    }
    if (!isListeningUnixStream(kListenFdsStart)) {
        return std::nullopt;
    }
    return kListenFdsStart;
}

int bindListenSocket(const std::filesystem::path& path) {
    const sockaddr_un address = socketAddress(path);

    if (path.has_parent_path()) {
        std::error_code error;
        std::filesystem::create_directories(path.parent_path(), error);
        if (error) {
            throw std::system_error(error, "create directory " + path.parent_path().string());
        }
    }
    removeStaleSocket(address, path);

    Descriptor listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) {
        throwErrno(errno, "socket for", path);
    }
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        throwErrno(errno, "bind", path);
    }
    // Any local user may connect; the daemon checks each peer's code signature. The mode is set
    // before listen() so a client never sees a half-ready socket.
    if (chmod(path.c_str(), kSocketMode) != 0) {
        const int error = errno;
        unlink(path.c_str());
        throwErrno(error, "chmod", path);
    }
    if (listen(listener.get(), kListenBacklog) != 0) {
        const int error = errno;
        unlink(path.c_str());
        throwErrno(error, "listen on", path);
    }
    return listener.release();
}

} // namespace korvane::launchd
