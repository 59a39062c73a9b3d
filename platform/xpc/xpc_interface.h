#pragma once
// What a connection exports: the selectors it answers and the object that serves them.
#include "platform/xpc/xpc_frame.h"

#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::xpc {

struct XpcMethod {
    std::string selector;
    bool takesArgument = false;
};

struct XpcInterface {
    std::vector<XpcMethod> methods;

    const XpcMethod* find(std::string_view selector) const {
        for (const auto& method : methods) {
            if (method.selector == selector) return &method;
        }
        return nullptr;
    }
};

// The reply of one call. Exactly one reply leaves for every call: the first invocation sends,
// later ones are ignored, and a reply that is dropped without being invoked sends "no data" so
// the caller is never left waiting.
class XpcReply {
public:
    using Sender = std::function<void(std::optional<Data>)>;

    explicit XpcReply(Sender sender) : state_(std::make_shared<State>(std::move(sender))) {}

    void operator()(std::optional<Data> data) const { state_->send(std::move(data)); }

private:
    struct State {
        explicit State(Sender s) : sender(std::move(s)) {}
        ~State() { send(std::nullopt); }
        void send(std::optional<Data> data) {
            Sender once;
            {
                std::lock_guard lock(mutex);
                if (!sender) return;
                once = std::move(sender);
                sender = nullptr;
            }
            once(std::move(data));
        }
        std::mutex mutex;
        Sender sender;
    };
    std::shared_ptr<State> state_;
};

class XpcExportedObject {
public:
    virtual ~XpcExportedObject() = default;
    // Runs on the connection's own thread; calls of one connection arrive one after another.
    // `argument` is present exactly when the selector takes one.
    virtual void handleCall(std::string_view selector, std::optional<Data> argument, XpcReply reply) = 0;
};

} // namespace korvane::xpc
