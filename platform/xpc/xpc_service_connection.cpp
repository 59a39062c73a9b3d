#include "platform/xpc/xpc_service_connection.h"

#include "platform/paths/system_paths.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace korvane::xpc {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

using Clock = std::chrono::steady_clock;

} // namespace

struct XpcServiceConnection::Core : std::enable_shared_from_this<Core> {
    struct Pending {
        ReplyHandler onReply;
        ErrorHandler onError;
    };

    enum class ReadOutcome { progressed, timedOut, closed };

    Core(std::string name, std::filesystem::path path) : serviceName(std::move(name)), socketPath(std::move(path)) {}

    const std::string serviceName;
    const std::filesystem::path socketPath;

    // Lock order: writeLock, then lock.
    std::mutex writeLock;   // held while writing to, or closing, the socket
    std::mutex lock;
    std::condition_variable changed;   // reading released, a call added or answered, stopping
    std::function<void()> interruptionHandler;
    std::function<void()> invalidationHandler;
    bool invalidated = false;
    bool invalidationReported = false;
    bool stopping = false;
    bool readerBusy = false;          // some thread owns reading the socket
    bool backgroundRunning = false;
    int fd = -1;
    std::uint64_t generation = 0;     // one per socket, so a stale owner cannot touch a newer one
    std::uint64_t nextCallId = 1;
    std::map<std::uint64_t, Pending> pending;
    FrameReader frames;               // touched only by the owner of reading

    // Under writeLock and lock: connects; false when the service is unreachable.
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
        ++generation;
        frames = FrameReader();
        return true;
    }

    // Under writeLock and lock: closes the socket and collects what must be told.
    struct Teardown {
        std::map<std::uint64_t, Pending> orphans;
        std::function<void()> handler;
        XpcTransportError error = XpcTransportError::connectionInterrupted;
    };
    Teardown teardownLocked(bool refused) {
        Teardown t;
        t.orphans.swap(pending);
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (refused || invalidated) {
            invalidated = true;
            t.error = XpcTransportError::connectionInvalid;
            if (!invalidationReported) {
                invalidationReported = true;
                t.handler = invalidationHandler;
            }
        } else {
            t.handler = interruptionHandler;
        }
        changed.notify_all();
        return t;
    }

    static void tell(Teardown t) {
        for (auto& [id, call] : t.orphans) {
            if (call.onError) call.onError(t.error);
        }
        if (t.handler) t.handler();
    }

    // Run by the owner of reading: waits for bytes until `deadline` and delivers what arrived.
    ReadOutcome readOnce(int socket, std::uint64_t socketGeneration, std::optional<Clock::time_point> deadline) {
        int timeoutMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            timeoutMs = static_cast<int>(std::max<long long>(left, 0));
        }
        pollfd p{socket, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0) return ReadOutcome::timedOut;
        if (ready < 0) return errno == EINTR ? ReadOutcome::progressed : close(socketGeneration, false);

        std::uint8_t chunk[kReadChunk];
        const ssize_t n = ::recv(socket, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return ReadOutcome::progressed;
        if (n <= 0) return close(socketGeneration, false);
        try {
            frames.feed(std::span(chunk, static_cast<std::size_t>(n)));
            while (auto frame = frames.next()) {
                if (frame->type == FrameType::refused) return close(socketGeneration, true);
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
            return close(socketGeneration, false);   // a broken stream counts as the service going away
        }
        return ReadOutcome::progressed;
    }

    ReadOutcome close(std::uint64_t socketGeneration, bool refused) {
        Teardown t;
        {
            std::lock_guard writing(writeLock);
            std::lock_guard guard(lock);
            if (socketGeneration != generation || fd < 0) return ReadOutcome::closed;
            t = teardownLocked(refused);
        }
        tell(std::move(t));
        return ReadOutcome::closed;
    }

    // Under lock: whether a thread may take over reading now.
    bool readable() const { return !readerBusy && fd >= 0; }

    // Under lock: makes sure outstanding calls have a reader when no caller reads for them.
    void handOverLocked() {
        if (pending.empty() || !readable()) return;
        if (backgroundRunning) {
            changed.notify_all();
            return;
        }
        backgroundRunning = true;
        std::thread([self = shared_from_this()] { self->backgroundReader(); }).detach();
    }

    void backgroundReader() {
        std::unique_lock guard(lock);
        for (;;) {
            changed.wait(guard, [this] { return stopping || (readable() && !pending.empty()); });
            if (stopping) break;
            readerBusy = true;
            const int socket = fd;
            const std::uint64_t socketGeneration = generation;
            guard.unlock();
            readOnce(socket, socketGeneration, std::nullopt);
            guard.lock();
            readerBusy = false;
            changed.notify_all();
        }
        backgroundRunning = false;
    }

    // Registers and writes one call. Returns false (after telling the caller) when it could
    // not be sent at all.
    bool send(const std::string& selector, std::optional<Data> argument, ReplyHandler onReply, ErrorHandler onError,
              bool callerWillRead) {
        std::function<void()> invalidation;
        {
            std::lock_guard writing(writeLock);
            Data bytes;
            int target = -1;
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
                        if (!callerWillRead) handOverLocked();
                    } catch (const FrameError&) {
                        // Too large for the channel: this call fails alone, the connection stays.
                    }
                }
            }
            if (target >= 0) {
                // A failed write shows up as the end of the stream for the reader, which fails the call.
                writeAll(target, bytes);
                return true;
            }
        }
        if (invalidation) invalidation();
        if (onError) onError(XpcTransportError::connectionInvalid);
        return false;
    }

    void invalidate(bool reportToHandler) {
        Teardown t;
        {
            std::lock_guard writing(writeLock);
            std::lock_guard guard(lock);
            if (!reportToHandler) invalidationReported = true;
            if (invalidated) return;
            invalidated = true;
            if (fd >= 0 && readerBusy) {
                // The owner of reading sees the end of the stream, fails waiting calls and reports.
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            t = teardownLocked(false);
        }
        tell(std::move(t));
    }

    void stop() {
        invalidate(false);
        std::lock_guard guard(lock);
        stopping = true;
        changed.notify_all();
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
    core_->stop();
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
    core_->send(selector, std::move(argument), std::move(onReply), std::move(onError), false);
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
    struct Slot {
        std::atomic<bool> ready{false};
        SyncResult result;
    };
    auto slot = std::make_shared<Slot>();
    Core& core = *core_;
    // The handlers run on a reading thread and only fill the slot; its waiter is woken through
    // `changed` (or is the reader itself).
    const auto fill = [&core, slot](SyncResult value) {
        std::lock_guard guard(core.lock);
        slot->result = std::move(value);
        slot->ready.store(true);
        core.changed.notify_all();
    };
    if (!core.send(
            selector, std::move(argument), [fill](std::optional<Data> data) { fill(std::move(data)); },
            [fill](XpcTransportError error) { fill(error); }, true)) {
        return std::move(slot->result);
    }

    const auto deadline = Clock::now() + timeout;
    std::unique_lock guard(core.lock);
    while (!slot->ready.load()) {
        if (core.readable()) {
            // Read for ourselves: the reply then wakes this thread directly.
            core.readerBusy = true;
            const int socket = core.fd;
            const std::uint64_t socketGeneration = core.generation;
            guard.unlock();
            const auto outcome = core.readOnce(socket, socketGeneration, deadline);
            guard.lock();
            core.readerBusy = false;
            core.changed.notify_all();
            if (outcome == Core::ReadOutcome::timedOut) break;
        } else if (core.changed.wait_until(guard, deadline) == std::cv_status::timeout) {
            break;
        }
    }
    // Whatever is still outstanding (a late reply, other callers' calls) gets a reader.
    core.handOverLocked();
    if (!slot->ready.load()) return XpcTransportError::timedOut;
    return std::move(slot->result);
}

} // namespace korvane::xpc
