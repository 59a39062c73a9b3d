// KorvaneVPNHelper: the privileged daemon. Started on demand by the launcher when a client
// connects to its service; takes no arguments and reads no configuration.
#include "helper/helper_listener_delegate.h"
#include "helper/helper_log.h"
#include "shared/helper_xpc_protocol.h"

#include <csignal>
#include <unistd.h>

namespace {

// Held for the life of the process: the listener refers to its delegate without owning it.
std::unique_ptr<korvane::xpc::XpcListener> listener;
korvane::HelperListenerDelegate* listenerDelegate = nullptr;

} // namespace

int main() {
    using namespace korvane;
    // A client that goes away mid-reply must not kill the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    HelperLog::listener().notice("KorvaneVPNHelper starting up (uid={})", getuid());
    try {
        listener = xpc::XpcListener::forMachService(kHelperMachServiceName);
    } catch (const std::exception& error) {
        HelperLog::listener().fault("could not listen on machService={}: {}", kHelperMachServiceName, error.what());
        return 1;
    }
    listenerDelegate = new HelperListenerDelegate();
    listener->setDelegate(listenerDelegate);
    listener->resume();
    HelperLog::listener().notice("listener resumed on machService={}; waiting for connections", kHelperMachServiceName);
    // The main thread has nothing else to do; connections are served on their own threads.
    for (;;) pause();
    return 0;
}
