#include "platform/xpc/xpc_listener.h"

#include "platform/launchd/socket_activation.h"
#include "platform/oslog/logger.h"
#include "platform/paths/system_paths.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77   // Linux 6.5: a pidfd of the peer as it was at connect time
#endif

namespace korvane::xpc {
namespace {

const oslog::Logger& log() {
    static const oslog::Logger logger("com.korvane.vpn.platform", "xpc");
    return logger;
}

constexpr std::size_t kReadChunk = 64 * 1024;

// Opens a pidfd for the peer. The socket option pins the process that connected; where the
// kernel lacks it, pidfd_open right after accept is the next best thing.
int peerPidfd(int fd, pid_t pid) {
    int pidfd = -1;
    socklen_t length = sizeof(pidfd);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        return pidfd;
    }
    const long opened = syscall(SYS_pidfd_open, pid, 0);
    return opened >= 0 ? static_cast<int>(opened) : -1;
}

} // namespace

XpcConnection::XpcConnection(int fd, std::optional<XpcAuditToken> token) : fd_(fd), token_(token) {}

XpcConnection::~XpcConnection() {
    if (token_ && token_->pidfd >= 0) ::close(token_->pidfd);
    if (fd_ >= 0) ::close(fd_);
}

XpcListener::XpcListener(int listenFd, std::string serviceName)
    : listenFd_(listenFd), stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), serviceName_(std::move(serviceName)) {
    if (stopFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

std::unique_ptr<XpcListener> XpcListener::forMachService(std::string_view serviceName) {
    int fd = -1;
    if (auto activated = launchd::takeActivatedListenSocket()) {
        fd = *activated;
    } else {
        fd = launchd::bindListenSocket(paths::machServiceSocket(serviceName));
    }
    return std::make_unique<XpcListener>(fd, std::string(serviceName));
}

XpcListener::~XpcListener() {
    invalidate();
    ::close(stopFd_);
}

void XpcListener::resume() {
    if (acceptThread_.joinable() || stopped_) return;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void XpcListener::invalidate() {
    if (!stopped_.exchange(true)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopFd_, &one, sizeof(one));
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    std::unique_lock lock(activeLock_);
    activeChanged_.wait(lock, [this] { return active_ == 0; });
}

std::size_t XpcListener::activeConnections() const {
    std::lock_guard lock(activeLock_);
    return active_;
}

std::optional<XpcAuditToken> XpcListener::peerOf(int fd) const {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || credentials.pid <= 0) {
        return std::nullopt;
    }
    const int pidfd = peerPidfd(fd, credentials.pid);
    if (pidfd < 0) return std::nullopt;   // without a pidfd the peer cannot be pinned
    return XpcAuditToken{credentials.pid, credentials.uid, credentials.gid, pidfd};
}

void XpcListener::acceptLoop() {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    while (!stopped_) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            log().error("listener poll failed: {}", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                log().error("accept failed: {}", std::strerror(errno));
                if (errno == EMFILE || errno == ENFILE) ::poll(nullptr, 0, 100);   // let descriptors free up
            }
            continue;
        }
        // The peer is read now, at accept time, before anything else can happen to it.
        auto connection = std::shared_ptr<XpcConnection>(new XpcConnection(fd, peerOf(fd)));
        {
            std::lock_guard lock(activeLock_);
            if (active_ >= kMaxConnections) {
                log().error("dropping connection: {} connections already open", active_);
                continue;   // connection closes as it goes out of scope
            }
            ++active_;
        }
        std::thread([this, connection = std::move(connection)]() mutable {
            // The connection (its socket and pidfd) is gone before the count drops, so a caller
            // that waits for no active connections also sees the descriptors closed.
            serve(std::move(connection));
            std::lock_guard lock(activeLock_);
            --active_;
            activeChanged_.notify_all();
        }).detach();
    }
}

void XpcListener::serve(std::shared_ptr<XpcConnection> connection) {
    const bool accepted = delegate_ != nullptr && delegate_->shouldAcceptNewConnection(*this, *connection);
    if (!accepted) {
        // Tell the client it was turned away, so it sees an invalidated connection.
        writeAll(connection->fd_, encodeFrame(Frame{FrameType::refused, 0, {}, std::nullopt}));
        return;
    }
    serveCalls(*connection);
    ::shutdown(connection->fd_, SHUT_RDWR);
    if (connection->invalidationHandler_) connection->invalidationHandler_();
}

void XpcListener::serveCalls(XpcConnection& connection) {
    FrameReader reader;
    std::vector<std::uint8_t> chunk(kReadChunk);
    pollfd fds[2] = {{connection.fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    while (true) {
        const int timeout = reader.hasPartialFrame() ? static_cast<int>(stallTimeout_.count()) : -1;
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            log().error("dropping connection pid={}: stalled inside a frame", connection.processIdentifier());
            return;
        }
        if (fds[1].revents != 0) return;
        const ssize_t n = ::recv(connection.fd_, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        try {
            reader.feed(std::span(chunk.data(), static_cast<std::size_t>(n)));
            while (auto frame = reader.next()) {
                if (frame->type != FrameType::call) throw FrameError("peer sent a frame that is not a call");
                const XpcMethod* method = connection.interface_.find(frame->selector);
                if (method == nullptr) throw FrameError("peer called unknown selector " + frame->selector);
                dispatch(connection, std::move(*frame));
            }
        } catch (const FrameError& error) {
            log().error("dropping connection pid={}: {}", connection.processIdentifier(), error.what());
            return;
        }
    }
}

void XpcListener::dispatch(XpcConnection& connection, Frame frame) {
    const XpcMethod* method = connection.interface_.find(frame.selector);
    std::optional<Data> argument;
    if (method->takesArgument) {
        // A missing argument reaches the method as empty bytes, which it rejects as undecodable.
        argument = frame.data ? std::move(frame.data) : Data{};
    }
    const std::uint64_t callId = frame.callId;
    // The reply holds the connection weakly: a reply sent after the peer is gone goes nowhere.
    XpcReply reply([weak = connection.weak_from_this(), callId](std::optional<Data> data) {
        const auto target = weak.lock();
        if (!target) return;
        Data bytes;
        try {
            bytes = encodeFrame(Frame{FrameType::reply, callId, {}, std::move(data)});
        } catch (const FrameError& error) {
            log().error("reply to call {} dropped: {}", callId, error.what());
            bytes = encodeFrame(Frame{FrameType::reply, callId, {}, std::nullopt});
        }
        std::lock_guard lock(target->writeLock_);
        writeAll(target->fd_, bytes);
    });
    if (connection.exported_) {
        connection.exported_->handleCall(frame.selector, std::move(argument), reply);
    }
}

} // namespace korvane::xpc
