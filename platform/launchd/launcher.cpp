// korvane-launchd: starts a daemon on demand, the way launchd starts a job for its Mach service.
//
//   korvane-launchd --mach-service NAME [--socket PATH] -- PROGRAM [ARGS...]
//
// The launcher owns the service's listening socket. It starts PROGRAM when a connection is
// pending, hands it the socket as systemd socket activation does (fd 3, LISTEN_FDS, LISTEN_PID,
// LISTEN_FDNAMES), leaves the socket alone while the daemon runs, and starts a fresh daemon at the
// next connection after it exits. A daemon that dies within kMinimumRunTime of its start is not
// started again before that time is up, so a crash loop costs one start per second.
//
// The launcher is single-threaded: signals arrive through a signalfd, and the child is set up
// between fork and exec without taking a lock.
#include "platform/launchd/socket_activation.h"
#include "platform/paths/system_paths.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

extern char** environ;

namespace korvane::launchd {
namespace {

using Clock = std::chrono::steady_clock;

// How long a stopping daemon gets between SIGTERM and SIGKILL.
constexpr auto kStopGracePeriod = std::chrono::seconds(3);
// A daemon that lives shorter than this is restarted no sooner than this after its start.
constexpr auto kMinimumRunTime = std::chrono::seconds(1);

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// What a shell reports for a command that could not be executed.
constexpr int kExecFailedStatus = 127;
constexpr std::size_t kMaxServiceNameLength = 200;

constexpr std::string_view kLogPrefix = "korvane-launchd: ";
constexpr std::string_view kUsage =
    "usage: korvane-launchd --mach-service NAME [--socket PATH] -- PROGRAM [ARGS...]";

// One write per line, so lines from the launcher and its daemon never interleave mid-line.
void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

template <typename... Args>
void log(fmt::format_string<Args...> format, Args&&... args) {
    writeAll(STDERR_FILENO, fmt::format("{}{}\n", kLogPrefix, fmt::format(format, std::forward<Args>(args)...)));
}

struct Options {
    std::string machService;
    std::filesystem::path socketPath;
    std::vector<std::string> programArguments;
};

// The name becomes a file name and an entry of LISTEN_FDNAMES (colon-separated), so it is held to
// the characters a reverse-DNS service name uses.
bool isValidServiceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxServiceNameLength) {
        return false;
    }
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '.' || c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

struct ParseResult {
    std::optional<Options> options;
    std::string error;
};

ParseResult parseArguments(int argc, char** argv) {
    Options options;
    bool haveService = false;
    bool haveSocket = false;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "--") {
            ++index;
            break;
        }
        if (argument == "--mach-service" || argument == "--socket") {
            if (index + 1 >= argc) {
                return {std::nullopt, fmt::format("{} needs a value", argument)};
            }
            const std::string_view value = argv[++index];
            if (argument == "--mach-service") {
                if (haveService) {
                    return {std::nullopt, "--mach-service given twice"};
                }
                if (!isValidServiceName(value)) {
                    return {std::nullopt,
                            fmt::format("invalid service name '{}' (letters, digits, '.', '-', '_')", value)};
                }
                options.machService = value;
                haveService = true;
            } else {
                if (haveSocket) {
                    return {std::nullopt, "--socket given twice"};
                }
                if (value.empty()) {
                    return {std::nullopt, "--socket needs a path"};
                }
                options.socketPath = std::filesystem::path(value);
                haveSocket = true;
            }
            continue;
        }
        return {std::nullopt, fmt::format("unexpected argument '{}'", argument)};
    }
    if (!haveService) {
        return {std::nullopt, "--mach-service is required"};
    }
    if (index >= argc) {
        return {std::nullopt, "no PROGRAM after '--'"};
    }
    for (; index < argc; ++index) {
        options.programArguments.emplace_back(argv[index]);
    }
    // PROGRAM is executed as given, without a PATH search.
    const std::string& program = options.programArguments.front();
    struct stat status {};
    if (stat(program.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || access(program.c_str(), X_OK) != 0) {
        return {std::nullopt, fmt::format("PROGRAM '{}' is not an executable file", program)};
    }
    return {std::move(options), {}};
}

// Descriptors the launcher's parent left open must not reach a daemon that runs as root.
void closeInheritedDescriptorsOnExec() {
    close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
}

// A launcher started with a standard descriptor closed would hand its socket out as the daemon's
// stdin or stdout; fill any gap with /dev/null first.
void ensureStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}

std::string describeStatus(int status) {
    if (WIFEXITED(status)) {
        return fmt::format("exited with status {}", WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return fmt::format("terminated by signal {}", WTERMSIG(status));
    }
    return fmt::format("ended with wait status {:#x}", status);
}

bool isActivationVariable(std::string_view entry) {
    for (const std::string_view name : {"LISTEN_PID=", "LISTEN_FDS=", "LISTEN_FDNAMES="}) {
        if (entry.starts_with(name)) {
            return true;
        }
    }
    return false;
}

// Decimal digits of `value` into `out` (NUL-terminated), without allocating: runs in the child
// between fork and exec.
void formatPid(pid_t value, char* out, std::size_t capacity) {
    std::array<char, 24> digits{};
    std::size_t count = 0;
    auto remaining = static_cast<unsigned long>(value);
    do {
        digits[count++] = static_cast<char>('0' + remaining % 10);
        remaining /= 10;
    } while (remaining != 0 && count < digits.size());
    std::size_t position = 0;
    while (count > 0 && position + 1 < capacity) {
        out[position++] = digits[--count];
    }
    out[position] = '\0';
}

struct Signals {
    int stopSignal = 0;
    bool childChanged = false;
};

class Launcher {
public:
    Launcher(Options options, int listenFd, int signalFd)
        : options_(std::move(options)), listenFd_(listenFd), signalFd_(signalFd) {}

    int run() {
        // No throttle is the earliest possible time (an optional here trips a false
        // maybe-uninitialized warning in g++ 12 at -O2).
        Clock::time_point restartNotBefore = Clock::time_point::min();
        for (;;) {
            const Signals idle = waitForConnection(restartNotBefore);
            if (idle.stopSignal != 0) {
                return stop(idle.stopSignal);
            }
            if (Clock::now() < restartNotBefore) {
                continue;
            }
            if (!isReadable(listenFd_)) {
                continue;
            }
            if (!startChild()) {
                return stop(0);
            }
            const Signals running = waitForChildExit();
            if (running.stopSignal != 0) {
                return stop(running.stopSignal);
            }
            const auto lived = Clock::now() - childStart_;
            if (lived < kMinimumRunTime) {
                restartNotBefore = childStart_ + kMinimumRunTime;
                log("{} lived {} ms; next start no sooner than {} ms from now", program(),
                    std::chrono::duration_cast<std::chrono::milliseconds>(lived).count(),
                    std::chrono::ceil<std::chrono::milliseconds>(restartNotBefore - Clock::now()).count());
            }
        }
    }

private:
    const std::string& program() const { return options_.programArguments.front(); }

    static bool isReadable(int fd) {
        pollfd entry{fd, POLLIN, 0};
        return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
    }

    Signals drainSignals() {
        Signals signals;
        signalfd_siginfo info{};
        while (read(signalFd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            if (info.ssi_signo == SIGCHLD) {
                signals.childChanged = true;
            } else if (signals.stopSignal == 0) {
                signals.stopSignal = static_cast<int>(info.ssi_signo);
            }
        }
        return signals;
    }

    // Waits for a pending connection or a stop signal. While a restart is throttled the listening
    // socket is not watched, only the clock; returns to the caller when the throttle ends.
    Signals waitForConnection(Clock::time_point notBefore) {
        std::array<pollfd, 2> entries{pollfd{signalFd_, POLLIN, 0}, pollfd{listenFd_, POLLIN, 0}};
        nfds_t count = 2;
        int timeoutMs = -1;
        const auto now = Clock::now();
        if (notBefore > now) {
            count = 1;
            timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(notBefore - now).count());
        }
        if (poll(entries.data(), count, timeoutMs) < 0 && errno != EINTR) {
            log("poll failed: {}", std::strerror(errno));
            return Signals{SIGTERM, false};
        }
        return drainSignals();
    }

    // False when the launcher cannot go on (fork failed).
    bool startChild() {
        // Everything the child needs is built here, before fork: after fork the child only fills
        // in its pid and calls execve.
        std::vector<std::string> environment;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (!isActivationVariable(*entry)) {
                environment.emplace_back(*entry);
            }
        }
        environment.emplace_back("LISTEN_FDS=1");
        environment.push_back("LISTEN_FDNAMES=" + options_.machService);
        std::array<char, 32> listenPidEntry{};
        constexpr std::string_view kListenPidPrefix = "LISTEN_PID=";
        std::memcpy(listenPidEntry.data(), kListenPidPrefix.data(), kListenPidPrefix.size());

        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(listenPidEntry.data());
        envp.push_back(nullptr);

        std::vector<char*> argv;
        for (std::string& argument : options_.programArguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const std::string execFailurePrefix = fmt::format("{}cannot execute {}: ", kLogPrefix, program());

        const pid_t pid = fork();
        if (pid < 0) {
            log("cannot start {}: fork: {}", program(), std::strerror(errno));
            return false;
        }
        if (pid == 0) {
            runChild(argv, envp, listenPidEntry.data() + kListenPidPrefix.size(),
                     listenPidEntry.size() - kListenPidPrefix.size(), execFailurePrefix);
        }
        childPid_ = pid;
        childStart_ = Clock::now();
        log("started {} pid={}", program(), pid);
        return true;
    }

    // The child side of fork. The launcher has one thread, so the child may use what the parent
    // prepared; it still keeps to async-signal-safe calls apart from strerror on the failure path.
    [[noreturn]] void runChild(std::vector<char*>& argv, std::vector<char*>& envp, char* pidSlot,
                               std::size_t pidSlotSize, const std::string& execFailurePrefix) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);

        const char* failedStep = nullptr;
        if (listenFd_ == kListenFdsStart) {
            const int flags = fcntl(listenFd_, F_GETFD);
            if (flags < 0 || fcntl(listenFd_, F_SETFD, flags & ~FD_CLOEXEC) < 0) {
                failedStep = "fcntl";
            }
        } else if (dup2(listenFd_, kListenFdsStart) < 0) {
            // dup2 leaves the new descriptor without FD_CLOEXEC, which is what the daemon needs.
            failedStep = "dup2";
        }
        if (failedStep == nullptr) {
            // LISTEN_PID names the process that will run PROGRAM, known only after fork.
            formatPid(getpid(), pidSlot, pidSlotSize);
            execve(argv[0], argv.data(), envp.data());
            failedStep = "execve";
        }
        const int error = errno;
        writeAll(STDERR_FILENO, execFailurePrefix);
        writeAll(STDERR_FILENO, failedStep);
        writeAll(STDERR_FILENO, ": ");
        writeAll(STDERR_FILENO, std::strerror(error));
        writeAll(STDERR_FILENO, "\n");
        _exit(kExecFailedStatus);
    }

    // True once the child has been reaped.
    bool reapChild() {
        int status = 0;
        const pid_t reaped = waitpid(childPid_, &status, WNOHANG);
        if (reaped == 0) {
            return false;
        }
        if (reaped < 0) {
            log("waitpid {}: {}", childPid_, std::strerror(errno));
        } else {
            log("{} pid={} {}", program(), childPid_, describeStatus(status));
        }
        childPid_ = -1;
        return true;
    }

    // The listening socket belongs to the daemon while it runs; only signals are watched.
    Signals waitForChildExit() {
        for (;;) {
            pollfd entry{signalFd_, POLLIN, 0};
            if (poll(&entry, 1, -1) < 0 && errno != EINTR) {
                log("poll failed: {}", std::strerror(errno));
                return Signals{SIGTERM, false};
            }
            const Signals signals = drainSignals();
            if (signals.childChanged && reapChild()) {
                return Signals{};
            }
            if (signals.stopSignal != 0) {
                return signals;
            }
        }
    }

    void stopChild() {
        log("stopping {} pid={}", program(), childPid_);
        kill(childPid_, SIGTERM);
        const auto deadline = Clock::now() + kStopGracePeriod;
        while (!reapChild()) {
            const auto remaining = deadline - Clock::now();
            if (remaining <= Clock::duration::zero()) {
                log("{} pid={} still running after {} s; sending SIGKILL", program(), childPid_,
                    std::chrono::duration_cast<std::chrono::seconds>(kStopGracePeriod).count());
                kill(childPid_, SIGKILL);
                int status = 0;
                pid_t reaped = -1;
                do {
                    reaped = waitpid(childPid_, &status, 0);
                } while (reaped < 0 && errno == EINTR);
                if (reaped < 0) {
                    log("waitpid {}: {}", childPid_, std::strerror(errno));
                } else {
                    log("{} pid={} {}", program(), childPid_, describeStatus(status));
                }
                childPid_ = -1;
                return;
            }
            pollfd entry{signalFd_, POLLIN, 0};
            poll(&entry, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(remaining).count()));
            drainSignals();
        }
    }

    int stop(int signal) {
        if (signal != 0) {
            const char* name = sigabbrev_np(signal);
            log("received SIG{}", name != nullptr ? name : std::to_string(signal));
        }
        if (childPid_ > 0) {
            stopChild();
        }
        struct stat status {};
        if (lstat(options_.socketPath.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
            unlink(options_.socketPath.c_str());
        }
        close(listenFd_);
        log("stopped");
        return signal != 0 ? 0 : kExitFailure;
    }

    Options options_;
    int listenFd_;
    int signalFd_;
    pid_t childPid_ = -1;
    Clock::time_point childStart_{};
};

int runLauncher(int argc, char** argv) {
    ParseResult parsed = parseArguments(argc, argv);
    if (!parsed.options) {
        log("{}", parsed.error);
        writeAll(STDERR_FILENO, fmt::format("{}\n", kUsage));
        return kExitUsage;
    }
    Options options = std::move(*parsed.options);
    if (options.socketPath.empty()) {
        options.socketPath = paths::machServiceSocket(options.machService);
    }
    ensureStandardDescriptors();
    closeInheritedDescriptorsOnExec();

    // Blocked from here on, so a stop request during setup is handled once the loop runs. An
    // inherited "ignore SIGCHLD" would make the kernel reap the daemon before we can.
    signal(SIGCHLD, SIG_DFL);
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &handled, nullptr) != 0) {
        log("sigprocmask: {}", std::strerror(errno));
        return kExitFailure;
    }
    const int signalFd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        log("signalfd: {}", std::strerror(errno));
        return kExitFailure;
    }

    int listenFd = -1;
    try {
        listenFd = bindListenSocket(options.socketPath);
    } catch (const std::system_error& error) {
        log("cannot listen for {}: {}", options.machService, error.what());
        return kExitFailure;
    }
    log("listening on {}", options.socketPath.string());
    return Launcher(std::move(options), listenFd, signalFd).run();
}

} // namespace
} // namespace korvane::launchd

int main(int argc, char** argv) {
    return korvane::launchd::runLauncher(argc, argv);
}
