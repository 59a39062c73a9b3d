#pragma once
// How the daemon ends itself.
//
// The daemon exits on purpose after a protocol mismatch (so the launcher starts the newly
// installed program) and when its watchdog finds it wedged. Engine processes it started must not
// survive such an exit unseen: the next daemon would know nothing of them, could not stop them,
// and would start a second engine beside the first. So each engine, while it runs, registers
// how to stop it here, and every deliberate exit goes through exitProcess(), which stops them
// first. Routes, DNS entries and firewall rules are not touched: they are recorded on disk and
// the next daemon undoes them from there.
#include <cstdint>
#include <functional>
#include <string>

namespace korvane {

class HelperShutdown {
public:
    using Token = std::uint64_t;

    // `stop` must end the engine within a bounded time (terminate, grace period, kill).
    static Token registerEngineStopper(std::string label, std::function<void()> stop);
    static void unregisterEngineStopper(Token token);

    // Stops every registered engine, flushes the log and ends the process with `status`.
    // The first caller wins; a second caller waits for the process to end.
    [[noreturn]] static void exitProcess(int status);
};

} // namespace korvane
