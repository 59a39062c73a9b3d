#pragma once
// Runs the daemon the way the system does, for end-to-end tests: the launcher owns the
// service socket under a private root prefix and starts KorvaneVPNHelper on demand; clients are
// real processes (the signed development client or copies of it signed otherwise).
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvane::testing {

struct ProcessResult {
    pid_t pid = -1;
    int exitCode = -1;   // 128 + signal for a signalled process
    std::string out;
    std::string err;
};

class DaemonHarness {
public:
    DaemonHarness();
    ~DaemonHarness();
    DaemonHarness(const DaemonHarness&) = delete;
    DaemonHarness& operator=(const DaemonHarness&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path socketPath() const;

    // Starts a process with KORVANE_ROOT set; returns its pid (stdout/stderr to files in root).
    pid_t spawn(const std::vector<std::string>& argv, const std::string& tag);
    // Waits for a process started by spawn() and collects its output.
    ProcessResult wait(pid_t pid, const std::string& tag);
    ProcessResult run(const std::vector<std::string>& argv);

    // The signed development client, or a copy of it at `client`.
    ProcessResult call(const std::vector<std::string>& args,
                       const std::optional<std::filesystem::path>& client = std::nullopt);

    // The launcher's and daemons' combined log.
    std::string log() const;
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Pids of every daemon the launcher started, in order.
    std::vector<pid_t> daemonPids() const;

    // A private copy of the development client in its own folder, unsigned.
    std::filesystem::path copyOfClient(const std::string& name) const;

private:
    std::filesystem::path root_;
    pid_t launcher_ = -1;
    int counter_ = 0;
};

// Open descriptors of a process.
int openDescriptors(pid_t pid);

} // namespace korvane::testing
