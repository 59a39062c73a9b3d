#include "platform/xpc/xpc_service_connection.h"

#include "platform/paths/system_paths.h"
#include "platform/xpc/xpc_listener.h"

#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

namespace korvane::xpc {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

} // namespace

struct XpcServiceConnection::Core : std::enable_shared_from_this<Core> {
    struct Pending {
        ReplyHandler onReply;
        ErrorHandler onError;
    };

    Core(std::string name, std::filesystem::path path) : serviceName(std::move(name)), socketPath(std::move(path)) {}

    const std::string serviceName;
    const std::filesystem::path socketPath;

    std::mutex lock;
    std::mutex writeLock;
    std::function<void()> interruptionHandler;
    std::function<void()> invalidationHandler;
    bool invalidated = false;
    bool invalidationReported = false;
    int fd = -1;
    std::uint64_t generation = 0;   // one per socket, so a late reader cannot touch a newer one
    std::uint64_t nextCallId = 1;
    std::map<std::uint64_t, Pending> pending;

    // Under `lock`. Connects and starts the socket's reader; false when the service is unreachable.
    bool connectLocked() {
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socketPath.string();
        if (path.size() >= sizeof(address.sun_path)) {
            ::close(s);
            return false;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        int rc;
        do {
            rc = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(s);
            return false;
        }
        fd = s;
        std::thread([self = shared_from_this(), s, g = ++generation] { self->readLoop(s, g); }).detach();
        return true;
    }

    void readLoop(int socket, std::uint64_t socketGeneration) {
        FrameReader reader;
        std::vector<std::uint8_t> chunk(kReadChunk);
        bool refused = false;
        while (!refused) {
            const ssize_t n = ::recv(socket, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            try {
                reader.feed(std::span(chunk.data(), static_cast<std::size_t>(n)));
                while (auto frame = reader.next()) {
                    if (frame->type == FrameType::refused) {
                        refused = true;
                        break;
                    }
                    if (frame->type != FrameType::reply) throw FrameError("service sent a frame that is not a reply");
                    ReplyHandler onReply;
                    {
                        std::lock_guard guard(lock);
                        auto it = pending.find(frame->callId);
                        if (it == pending.end()) continue;   // nobody waits for it any more
                        onReply = std::move(it->second.onReply);
                        pending.erase(it);
                    }
                    if (onReply) onReply(std::move(frame->data));
                }
            } catch (const FrameError&) {
                break;   // a broken stream from the service counts as the service going away
            }
        }

        std::map<std::uint64_t, Pending> orphans;
        std::function<void()> handler;
        XpcTransportError error = XpcTransportError::connectionInterrupted;
        {
            std::lock_guard guard(lock);
            if (socketGeneration != generation) return;
            orphans.swap(pending);
            ::close(fd);
            fd = -1;
            if (refused || invalidated) {
                invalidated = true;
                error = XpcTransportError::connectionInvalid;
                if (!invalidationReported) {
                    invalidationReported = true;
                    handler = invalidationHandler;
                }
            } else {
                handler = interruptionHandler;
            }
        }
        for (auto& [id, call] : orphans) {
            if (call.onError) call.onError(error);
        }
        if (handler) handler();
    }

    void send(const std::string& selector, std::optional<Data> argument, ReplyHandler onReply, ErrorHandler onError) {
        Data bytes;
        int target = -1;
        std::function<void()> invalidation;
        {
            std::lock_guard guard(lock);
            if (!invalidated && fd < 0 && !connectLocked()) invalidated = true;
            if (invalidated) {
                if (!invalidationReported) {
                    invalidationReported = true;
                    invalidation = invalidationHandler;
                }
            } else {
                const std::uint64_t callId = nextCallId++;
                try {
                    bytes = encodeFrame(Frame{FrameType::call, callId, selector, std::move(argument)});
                    pending.emplace(callId, Pending{std::move(onReply), std::move(onError)});
                    target = fd;
                } catch (const FrameError&) {
                    // Too large for the channel: this call fails alone, the connection stays.
                }
            }
        }
        if (target < 0) {
            if (invalidation) invalidation();
            if (onError) onError(XpcTransportError::connectionInvalid);
            return;
        }
        std::lock_guard guard(writeLock);
        // A failed write shows up as the end of the stream on the reader, which fails the call.
        writeAll(target, bytes);
    }

    void invalidate(bool reportToHandler) {
        std::function<void()> handler;
        {
            std::lock_guard guard(lock);
            if (!reportToHandler) invalidationReported = true;
            if (invalidated) return;
            invalidated = true;
            if (fd >= 0) {
                // The reader sees the end of the stream, fails waiting calls and reports.
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            if (!invalidationReported) {
                invalidationReported = true;
                handler = invalidationHandler;
            }
        }
        if (handler) handler();
    }
};

std::shared_ptr<XpcServiceConnection> XpcServiceConnection::create(std::string serviceName) {
    auto path = paths::machServiceSocket(serviceName);
    return create(std::move(serviceName), std::move(path));
}

std::shared_ptr<XpcServiceConnection> XpcServiceConnection::create(std::string serviceName,
                                                                   std::filesystem::path socketPath) {
    auto core = std::make_shared<Core>(std::move(serviceName), std::move(socketPath));
    return std::shared_ptr<XpcServiceConnection>(new XpcServiceConnection(std::move(core)));
}

XpcServiceConnection::~XpcServiceConnection() {
    core_->invalidate(false);
}

const std::string& XpcServiceConnection::serviceName() const {
    return core_->serviceName;
}

void XpcServiceConnection::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard guard(core_->lock);
    core_->interruptionHandler = std::move(handler);
}

void XpcServiceConnection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard guard(core_->lock);
    core_->invalidationHandler = std::move(handler);
}

void XpcServiceConnection::resume() {
    // Connecting waits for the first message, as with the platform's connections.
}

void XpcServiceConnection::invalidate() {
    core_->invalidate(true);
}

void XpcServiceConnection::send(const std::string& selector, std::optional<Data> argument, ReplyHandler onReply,
                                ErrorHandler onError) {
    core_->send(selector, std::move(argument), std::move(onReply), std::move(onError));
}

std::string XpcServiceConnection::describe(XpcTransportError error) const {
    switch (error) {
    case XpcTransportError::connectionInterrupted:
        return fmt::format("The connection to service named {} was interrupted.", core_->serviceName);
    case XpcTransportError::connectionInvalid:
        return fmt::format("The connection to service named {} was invalidated.", core_->serviceName);
    case XpcTransportError::timedOut:
        return fmt::format("The call to service named {} timed out.", core_->serviceName);
    }
    return "unknown transport error";
}

XpcServiceConnection::SyncResult XpcServiceConnection::sendSync(const std::string& selector,
                                                                std::optional<Data> argument,
                                                                std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<SyncResult>>();
    auto future = promise->get_future();
    // send() runs exactly one of the two handlers, so the promise is set once.
    send(
        selector, std::move(argument), [promise](std::optional<Data> data) { promise->set_value(std::move(data)); },
        [promise](XpcTransportError error) { promise->set_value(error); });
    if (future.wait_for(timeout) != std::future_status::ready) return XpcTransportError::timedOut;
    return future.get();
}

} // namespace korvane::xpc
