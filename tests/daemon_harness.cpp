#include "tests/daemon_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

} // namespace

DaemonHarness::DaemonHarness() {
    char pattern[] = "/tmp/korvane-e2e.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    launcher_ = spawn({KORVANE_LAUNCHD_BINARY, "--mach-service", "com.korvane.vpn.helper.xpc", "--",
                       KORVANE_HELPER_BINARY},
                      "launchd");
    if (!waitForLog("listening on")) throw std::runtime_error("launcher did not start: " + log());
}

DaemonHarness::~DaemonHarness() {
    if (launcher_ > 0) {
        ::kill(launcher_, SIGTERM);
        int status = 0;
        ::waitpid(launcher_, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path DaemonHarness::socketPath() const {
    return root_ / "var/run/korvane/com.korvane.vpn.helper.xpc.sock";
}

pid_t DaemonHarness::spawn(const std::vector<std::string>& argv, const std::string& tag) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string out = (root_ / (tag + ".out")).string();
    const std::string err = (root_ / (tag + (tag == "launchd" ? ".log" : ".err"))).string();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<std::string> env{"KORVANE_ROOT=" + root_.string()};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string_view(*e).starts_with("KORVANE_ROOT=")) continue;
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

ProcessResult DaemonHarness::wait(pid_t pid, const std::string& tag) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProcessResult result;
    result.pid = pid;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readAll(root_ / (tag + ".out"));
    result.err = readAll(root_ / (tag + ".err"));
    return result;
}

ProcessResult DaemonHarness::run(const std::vector<std::string>& argv) {
    const std::string tag = "run" + std::to_string(++counter_);
    return wait(spawn(argv, tag), tag);
}

ProcessResult DaemonHarness::call(const std::vector<std::string>& args,
                                  const std::optional<std::filesystem::path>& client) {
    std::vector<std::string> argv{client ? client->string() : std::string(KORVANE_HELPERCTL_BINARY)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

std::string DaemonHarness::log() const {
    return readAll(root_ / "launchd.log");
}

bool DaemonHarness::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(20ms);
    }
    return log().find(text) != std::string::npos;
}

std::vector<pid_t> DaemonHarness::daemonPids() const {
    std::vector<pid_t> pids;
    const std::string text = log();
    static const std::regex started(R"(started \S*KorvaneVPNHelper pid=(\d+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), started); it != std::sregex_iterator(); ++it) {
        pids.push_back(std::stoi((*it)[1]));
    }
    return pids;
}

std::filesystem::path DaemonHarness::copyOfClient(const std::string& name) const {
    const auto dir = root_ / "clients" / name;
    std::filesystem::create_directories(dir);
    const auto copy = dir / "korvane-helperctl";
    std::filesystem::copy_file(KORVANE_HELPERCTL_BINARY, copy, std::filesystem::copy_options::overwrite_existing);
    return copy;
}

int openDescriptors(pid_t pid) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++count;
    }
    return count;
}

} // namespace korvane::testing
