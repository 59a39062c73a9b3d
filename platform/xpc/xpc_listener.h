#pragma once
// The listening side of the IPC channel, standing in for a Mach service listener.
//
// Each accepted connection gets its own thread: the delegate decides on it there (so a slow
// signature check holds up nobody else), then its calls are read, handed to the exported object
// and replied one after another. Connections are served in parallel. A connection that breaks
// the frame rules, or stalls halfway through a frame, is dropped alone.
#include "platform/xpc/xpc_interface.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace korvane::xpc {

inline constexpr std::size_t kMaxConnections = 1024;
// How long a peer may sit halfway through a frame before its connection is dropped.
inline constexpr std::chrono::milliseconds kFrameStallTimeout{5000};

// The peer as the kernel reported it at accept time. The pidfd pins the process, so a pid that
// is reused later cannot be mistaken for the peer.
struct XpcAuditToken {
    pid_t pid = -1;
    uid_t uid = 0;
    gid_t gid = 0;
    int pidfd = -1;   // owned by the connection
};

class XpcListener;

// One accepted connection, as the listener's delegate and handlers see it.
class XpcConnection : public std::enable_shared_from_this<XpcConnection> {
public:
    ~XpcConnection();
    XpcConnection(const XpcConnection&) = delete;
    XpcConnection& operator=(const XpcConnection&) = delete;

    pid_t processIdentifier() const { return token_ ? token_->pid : -1; }
    const std::optional<XpcAuditToken>& auditToken() const { return token_; }

    void setExportedInterface(XpcInterface interface) { interface_ = std::move(interface); }
    void setExportedObject(std::shared_ptr<XpcExportedObject> object) { exported_ = std::move(object); }
    void setInterruptionHandler(std::function<void()> handler) { interruptionHandler_ = std::move(handler); }
    void setInvalidationHandler(std::function<void()> handler) { invalidationHandler_ = std::move(handler); }
    void resume() { resumed_ = true; }

private:
    friend class XpcListener;
    XpcConnection(int fd, std::optional<XpcAuditToken> token);

    int fd_;
    std::optional<XpcAuditToken> token_;
    XpcInterface interface_;
    std::shared_ptr<XpcExportedObject> exported_;
    std::function<void()> interruptionHandler_;
    std::function<void()> invalidationHandler_;
    bool resumed_ = false;
    std::mutex writeLock_;
};

class XpcListenerDelegate {
public:
    virtual ~XpcListenerDelegate() = default;
    // Configure and resume the connection and answer true to accept it; false turns it away.
    virtual bool shouldAcceptNewConnection(XpcListener& listener, XpcConnection& connection) = 0;
};

class XpcListener {
public:
    // Takes ownership of a listening Unix stream socket.
    XpcListener(int listenFd, std::string serviceName);
    // The socket handed over by the launcher, or one bound at the service's path when the
    // program was started by hand.
    static std::unique_ptr<XpcListener> forMachService(std::string_view serviceName);
    ~XpcListener();
    XpcListener(const XpcListener&) = delete;
    XpcListener& operator=(const XpcListener&) = delete;

    const std::string& serviceName() const { return serviceName_; }
    void setDelegate(XpcListenerDelegate* delegate) { delegate_ = delegate; }
    void resume();
    // Stops accepting, drops every connection and waits for their threads.
    void invalidate();

    std::size_t activeConnections() const;
    // Tests shorten the stall limit so a stalled peer is seen quickly.
    void setFrameStallTimeout(std::chrono::milliseconds timeout) { stallTimeout_ = timeout; }

private:
    void acceptLoop();
    void serve(std::shared_ptr<XpcConnection> connection);
    void serveCalls(XpcConnection& connection);
    void dispatch(XpcConnection& connection, Frame frame);
    std::optional<XpcAuditToken> peerOf(int fd) const;

    int listenFd_;
    int stopFd_;   // eventfd, readable once invalidate() is called
    std::string serviceName_;
    XpcListenerDelegate* delegate_ = nullptr;
    std::thread acceptThread_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex activeLock_;
    std::condition_variable activeChanged_;
    std::size_t active_ = 0;
    std::chrono::milliseconds stallTimeout_ = kFrameStallTimeout;
};

} // namespace korvane::xpc
