#pragma once
// The calling side of the IPC channel: a connection to a named service.
//
// Like its macOS counterpart it connects lazily, on the first message. When the service goes
// away after the connection was made (the daemon exited), the connection is *interrupted*: the
// calls still waiting fail with connectionInterrupted, the interruption handler runs, and the
// next message connects again (which makes the launcher start the service afresh). When the
// service turns the peer away, cannot be reached, or invalidate() is called, the connection is
// *invalidated*: waiting and later calls fail with connectionInvalid, and the invalidation
// handler runs once.
//
// Reading: one thread at a time reads the socket. A caller waiting in sendSync reads for itself,
// so its reply wakes it directly (one hop less than a reader thread handing the reply over);
// while asynchronous calls are outstanding and no caller reads, a background reader does. Reply
// and error handlers run on whichever of these threads read the reply, one at a time, in the
// order the replies arrived. A service that goes away while no call is outstanding is noticed
// at the next call.
#include "platform/xpc/xpc_frame.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace korvane::xpc {

enum class XpcTransportError { connectionInterrupted, connectionInvalid, timedOut };

class XpcServiceConnection {
public:
    using ReplyHandler = std::function<void(std::optional<Data>)>;
    using ErrorHandler = std::function<void(XpcTransportError)>;

    // A connection to the service's socket under the paths layer.
    static std::shared_ptr<XpcServiceConnection> create(std::string serviceName);
    // A connection to an explicit socket path (tests, tools).
    static std::shared_ptr<XpcServiceConnection> create(std::string serviceName, std::filesystem::path socketPath);
    // Invalidates without running the invalidation handler; waiting calls still fail.
    ~XpcServiceConnection();
    XpcServiceConnection(const XpcServiceConnection&) = delete;
    XpcServiceConnection& operator=(const XpcServiceConnection&) = delete;

    const std::string& serviceName() const;

    // Set before resume().
    void setInterruptionHandler(std::function<void()> handler);
    void setInvalidationHandler(std::function<void()> handler);
    void resume();
    void invalidate();

    // Sends one message; exactly one of the two handlers runs for it.
    void send(const std::string& selector, std::optional<Data> argument, ReplyHandler onReply, ErrorHandler onError);

    // Sends and waits. After a time-out the call stays outstanding and its late reply is dropped.
    using SyncResult = std::variant<std::optional<Data>, XpcTransportError>;
    SyncResult sendSync(const std::string& selector, std::optional<Data> argument, std::chrono::milliseconds timeout);

    // The text a transport error shows, naming the service.
    std::string describe(XpcTransportError error) const;

    // Shared with the reader threads, which may outlive this handle by a moment.
    struct Core;

private:
    explicit XpcServiceConnection(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::shared_ptr<Core> core_;
};

} // namespace korvane::xpc
