// Runs the real korvane-launchd with the test daemon behind it.
#include "platform/posix/unique_fd.h"
#include "tests/support/scratch_directory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace korvane::launchd {
namespace {

using namespace std::chrono_literals;
using ScratchDirectory = korvane::testing::ScratchDirectory;
using posix::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr const char* kLauncher = KORVANE_LAUNCHD_BINARY;
constexpr const char* kDaemon = KORVANE_LAUNCHD_TEST_DAEMON;
constexpr const char* kServiceName = "com.korvane.test.helper";

// Generous: the binaries run under the sanitizers on a shared machine.
constexpr auto kTimeout = 20s;
constexpr auto kPollInterval = 10ms;
// Where the launcher gets a descriptor its parent "forgot" to close.
constexpr int kInheritedFd = 9;
// How long an idle launcher is watched to see that it starts nothing by itself.
constexpr auto kIdleObservation = 500ms;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// The pids of the "started" lines, in order.
std::vector<pid_t> startedPids(const std::string& log) {
    static const std::regex started(R"(korvane-launchd: started \S+ pid=(\d+))");
    std::vector<pid_t> pids;
    for (std::sregex_iterator it(log.begin(), log.end(), started), end; it != end; ++it) {
        pids.push_back(static_cast<pid_t>(std::stol((*it)[1].str())));
    }
    return pids;
}

// "key=value key=value\n" as the test daemon writes it.
std::map<std::string, std::string> parseReply(const std::string& line) {
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        if (const auto equals = word.find('='); equals != std::string::npos) {
            fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return fields;
}

class Launcher {
public:
    Launcher(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment,
             std::filesystem::path logPath)
        : logPath_(std::move(logPath)) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view view(*entry);
            if (!view.starts_with("KORVANE_ROOT=") && !view.starts_with("LISTEN_")) {
                environment.emplace_back(*entry);
            }
        }
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());

        std::vector<std::string> argvStrings{kLauncher};
        argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : argvStrings) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, kInheritedFd, "/dev/null", O_RDONLY, 0);
        const int error = posix_spawn(&pid_, kLauncher, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            throw std::system_error(error, std::generic_category(), "posix_spawn korvane-launchd");
        }
    }

    ~Launcher() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!waitForExit(kTimeout)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
    }

    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    pid_t pid() const { return pid_; }
    std::string log() const { return readFile(logPath_); }

    // The wait status once the launcher has exited, reaping it.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t reaped = waitpid(pid_, &status, WNOHANG);
            if (reaped == pid_) {
                pid_ = -1;
                return status;
            }
            if (reaped < 0 || Clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
    }

    bool isRunning() {
        return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
    }

    // True once the log contains `needle` at least `count` times.
    bool waitForLog(const std::string& needle, std::size_t count = 1, std::chrono::milliseconds timeout = kTimeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (countOf(log(), needle) >= count) {
                return true;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
    }

private:
    std::filesystem::path logPath_;
    pid_t pid_ = -1;
};

UniqueFd connectTo(const std::filesystem::path& path) {
    UniqueFd client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        client.reset();
    }
    return client;
}

std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    std::string line;
    for (;;) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining <= 0ms) {
            return std::nullopt;
        }
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(remaining.count())) <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t received = read(fd, &c, 1);
        if (received <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

bool sendLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

class LauncherTest : public ::testing::Test {
protected:
    std::unique_ptr<Launcher> startLauncher(const std::vector<std::string>& daemonArguments,
                                            const std::vector<std::string>& extraEnvironment = {}) {
        std::vector<std::string> arguments{"--mach-service", kServiceName, "--socket", socketPath_.string(), "--",
                                           kDaemon};
        arguments.insert(arguments.end(), daemonArguments.begin(), daemonArguments.end());
        return startListening(arguments, extraEnvironment);
    }

    std::unique_ptr<Launcher> startListening(const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& extraEnvironment = {}) {
        auto launcher = std::make_unique<Launcher>(arguments, extraEnvironment, logPath_);
        EXPECT_TRUE(launcher->waitForLog("korvane-launchd: listening on ")) << launcher->log();
        return launcher;
    }

    // Connects and returns the connection with the daemon's description of itself.
    std::pair<UniqueFd, std::map<std::string, std::string>> connectToDaemon(const std::filesystem::path& path) {
        UniqueFd client = connectTo(path);
        EXPECT_TRUE(client) << "connect " << path << ": " << std::strerror(errno);
        if (!client) {
            return {};
        }
        const std::optional<std::string> line = readLine(client.get());
        EXPECT_TRUE(line) << "no reply from the daemon";
        return {std::move(client), line ? parseReply(*line) : std::map<std::string, std::string>{}};
    }

    ScratchDirectory dir_{"korvane-launchd"};
    std::filesystem::path socketPath_ = dir_.path() / "svc.sock";
    std::filesystem::path logPath_ = dir_.path() / "launcher.log";
};

TEST_F(LauncherTest, StartsDaemonOnFirstConnectionAndHandsOverTheSocket) {
    // No --socket: the path comes from the service name under KORVANE_ROOT. Stale activation
    // variables in the launcher's own environment must not reach the daemon.
    const auto root = dir_.path() / "root";
    const auto expectedPath = root / "var/run/korvane" / (std::string(kServiceName) + ".sock");
    auto launcher = startListening({"--mach-service", kServiceName, "--", kDaemon},
                                   {"KORVANE_ROOT=" + root.string(), "LISTEN_PID=1", "LISTEN_FDS=7",
                                    "LISTEN_FDNAMES=stale"});
    EXPECT_NE(launcher->log().find("listening on " + expectedPath.string()), std::string::npos) << launcher->log();
    struct stat status {};
    ASSERT_EQ(lstat(expectedPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0666u);

    EXPECT_FALSE(launcher->waitForLog("korvane-launchd: started ", 1, std::chrono::duration_cast<std::chrono::milliseconds>(kIdleObservation)))
        << "a daemon was started before any client connected\n" << launcher->log();

    auto [client, reply] = connectToDaemon(expectedPath);
    ASSERT_TRUE(client);
    const std::vector<pid_t> started = startedPids(launcher->log());
    ASSERT_EQ(started.size(), 1u) << launcher->log();
    EXPECT_EQ(reply["pid"], std::to_string(started[0]));
    EXPECT_EQ(reply["listen_pid"], reply["pid"]);
    EXPECT_EQ(reply["listen_fds"], "1");
    EXPECT_EQ(reply["listen_fdnames"], kServiceName);
    EXPECT_EQ(reply["env_cleared"], "1");
    EXPECT_EQ(reply["cloexec"], "1");
    EXPECT_EQ(reply["inherited_fds"], "0");
}

TEST_F(LauncherTest, StartsAFreshDaemonAtTheNextConnectionAfterItExits) {
    auto launcher = startLauncher({});

    auto [first, firstReply] = connectToDaemon(socketPath_);
    ASSERT_TRUE(first);
    const std::string firstPid = firstReply["pid"];
    ASSERT_TRUE(sendLine(first.get(), "exit 7"));
    EXPECT_TRUE(launcher->waitForLog("pid=" + firstPid + " exited with status 7")) << launcher->log();

    auto [second, secondReply] = connectToDaemon(socketPath_);
    ASSERT_TRUE(second);
    EXPECT_NE(secondReply["pid"], firstPid);
    EXPECT_EQ(secondReply["listen_pid"], secondReply["pid"]);
    EXPECT_EQ(startedPids(launcher->log()).size(), 2u) << launcher->log();
}

TEST_F(LauncherTest, ThrottlesADaemonThatKeepsDyingAtStart) {
    auto launcher = startLauncher({"--exit-immediately", "1"});
    // Never accepted, so the connection stays pending and keeps asking for a daemon.
    UniqueFd client = connectTo(socketPath_);
    ASSERT_TRUE(client);

    ASSERT_TRUE(launcher->waitForLog("korvane-launchd: started ", 1)) << launcher->log();
    const auto firstSeen = Clock::now();
    ASSERT_TRUE(launcher->waitForLog("korvane-launchd: started ", 3)) << launcher->log();
    const auto thirdSeen = Clock::now();

    // Starts are at least a second apart; the first sighting may lag its start by a poll interval.
    EXPECT_GE(thirdSeen - firstSeen, 2s - 10 * kPollInterval) << launcher->log();
    EXPECT_NE(launcher->log().find("exited with status 1"), std::string::npos) << launcher->log();
}

TEST_F(LauncherTest, ReportsADaemonThatCannotBeExecutedAndKeepsListening) {
    // Executable bit set, but no format the kernel can run.
    const auto program = dir_.path() / "not-a-program";
    std::ofstream(program) << "\x01\x02 garbage\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    auto launcher = startListening({"--mach-service", kServiceName, "--socket", socketPath_.string(), "--",
                                    program.string()});

    UniqueFd client = connectTo(socketPath_);
    ASSERT_TRUE(client);
    EXPECT_TRUE(launcher->waitForLog("cannot execute " + program.string())) << launcher->log();
    EXPECT_TRUE(launcher->waitForLog("exited with status 127")) << launcher->log();
    EXPECT_TRUE(launcher->isRunning());
}

struct StopCase {
    const char* name;
    int signal;
    std::vector<std::string> daemonArguments;
    bool connectFirst;
    const char* daemonEnding; // nullptr: no daemon was running
};

void PrintTo(const StopCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class LauncherStopTest : public LauncherTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(LauncherStopTest, StopsTheDaemonAndRemovesTheSocket) {
    const StopCase& testCase = GetParam();
    auto launcher = startLauncher(testCase.daemonArguments);
    UniqueFd client;
    std::string daemonPid;
    if (testCase.connectFirst) {
        auto [connection, reply] = connectToDaemon(socketPath_);
        ASSERT_TRUE(connection);
        client = std::move(connection);
        daemonPid = reply["pid"];
    }

    ASSERT_EQ(kill(launcher->pid(), testCase.signal), 0);
    const std::optional<int> status = launcher->waitForExit(kTimeout);
    ASSERT_TRUE(status) << "launcher did not exit\n" << launcher->log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath_)));

    const std::string log = launcher->log();
    if (testCase.daemonEnding != nullptr) {
        EXPECT_NE(log.find("pid=" + daemonPid + " " + testCase.daemonEnding), std::string::npos) << log;
    } else {
        EXPECT_TRUE(startedPids(log).empty()) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherStopTest,
    ::testing::Values(StopCase{"IdleOnSigterm", SIGTERM, {}, false, nullptr},
                      StopCase{"IdleOnSigint", SIGINT, {}, false, nullptr},
                      StopCase{"RunningDaemon", SIGTERM, {}, true, "terminated by signal 15"},
                      StopCase{"DaemonIgnoringSigterm", SIGTERM, {"--ignore-sigterm"}, true,
                               "terminated by signal 9"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

struct ArgumentCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* message;
};

void PrintTo(const ArgumentCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class LauncherArgumentTest : public LauncherTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(LauncherArgumentTest, RejectsBadCommandLine) {
    Launcher launcher(GetParam().arguments, {}, logPath_);
    const std::optional<int> status = launcher.waitForExit(kTimeout);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << "wait status " << *status;
    const std::string log = launcher.log();
    EXPECT_NE(log.find(GetParam().message), std::string::npos) << log;
    EXPECT_NE(log.find("usage: korvane-launchd"), std::string::npos) << log;
    EXPECT_EQ(log.find("listening on"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherArgumentTest,
    ::testing::Values(
        ArgumentCase{"NoArguments", {}, "--mach-service is required"},
        ArgumentCase{"NoService", {"--", kDaemon}, "--mach-service is required"},
        ArgumentCase{"ServiceWithoutValue", {"--mach-service"}, "--mach-service needs a value"},
        ArgumentCase{"NoProgram", {"--mach-service", kServiceName, "--"}, "no PROGRAM"},
        ArgumentCase{"NoSeparator", {"--mach-service", kServiceName, kDaemon}, "unexpected argument"},
        ArgumentCase{"UnknownOption", {"--keep-alive", "--mach-service", kServiceName, "--", kDaemon},
                     "unexpected argument '--keep-alive'"},
        ArgumentCase{"ServiceNameWithSlash", {"--mach-service", "../../etc/x", "--", kDaemon},
                     "invalid service name"},
        ArgumentCase{"ProgramMissing", {"--mach-service", kServiceName, "--", "/nonexistent/daemon"},
                     "is not an executable file"}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) { return std::string(info.param.name); });

TEST_F(LauncherTest, FailsWhenTheSocketPathIsTakenByAnotherFile) {
    std::ofstream(socketPath_) << "keep me\n";
    Launcher launcher({"--mach-service", kServiceName, "--socket", socketPath_.string(), "--", kDaemon}, {},
                      logPath_);
    const std::optional<int> status = launcher.waitForExit(kTimeout);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    EXPECT_NE(launcher.log().find("cannot listen for " + std::string(kServiceName)), std::string::npos)
        << launcher.log();
    EXPECT_EQ(readFile(socketPath_), "keep me\n");
}

} // namespace
} // namespace korvane::launchd
