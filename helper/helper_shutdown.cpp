#include "helper/helper_shutdown.h"

#include "helper/helper_log.h"

#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {
namespace {

struct Stopper {
    std::string label;
    std::function<void()> stop;
};

std::mutex stoppersLock;
std::map<HelperShutdown::Token, Stopper>& stoppers() {
    static std::map<HelperShutdown::Token, Stopper> table;
    return table;
}
HelperShutdown::Token nextToken = 0;
std::atomic<bool> exiting{false};

} // namespace

HelperShutdown::Token HelperShutdown::registerEngineStopper(std::string label, std::function<void()> stop) {
    std::lock_guard lock(stoppersLock);
    const Token token = ++nextToken;
    stoppers().emplace(token, Stopper{std::move(label), std::move(stop)});
    return token;
}

void HelperShutdown::unregisterEngineStopper(Token token) {
    std::lock_guard lock(stoppersLock);
    stoppers().erase(token);
}

void HelperShutdown::exitProcess(int status) {
    if (exiting.exchange(true)) {
        // Another thread is already ending the process.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::vector<Stopper> toStop;
    {
        std::lock_guard lock(stoppersLock);
        for (auto& [token, stopper] : stoppers()) toStop.push_back(stopper);
    }
    for (auto& stopper : toStop) {
        HelperLog::service().notice("exit: stopping {} before the helper ends", stopper.label);
        try {
            stopper.stop();
        } catch (const std::exception& error) {
            HelperLog::service().error("exit: stopping {} failed: {}", stopper.label, error.what());
        }
    }
    oslog::flushAll();
    ::_exit(status);
}

} // namespace korvane
