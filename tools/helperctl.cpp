// korvane-helperctl: a small signed development client of the daemon.
//
//   korvane-helperctl [options] SELECTOR [JSON | @FILE]   call one selector, print the reply
//   korvane-helperctl [options] --send-raw FILE           write FILE's bytes as they are, then
//                                                         report whether the service hung up
//                                                         (--half-close: and end our side)
// Options:
//   --socket PATH     the service's socket (default: the service's path under KORVANE_ROOT)
//   --timeout MS      how long to wait for each reply (default 10000)
//   --repeat N        send the call N times; succeed only if every reply is the same
//
// Exit status: 0 reply received, 1 usage, 2 transport error or time-out, 3 replies differed.
#include "platform/paths/system_paths.h"
#include "platform/xpc/xpc_service_connection.h"
#include "shared/helper_xpc_protocol.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

namespace {

using namespace korvane;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitTransport = 2;
constexpr int kExitMismatch = 3;

int usage(const std::string& why) {
    std::cerr << "korvane-helperctl: " << why << "\n"
              << "usage: korvane-helperctl [--socket PATH] [--timeout MS] [--repeat N] SELECTOR [JSON | @FILE]\n"
              << "       korvane-helperctl [--socket PATH] [--timeout MS] --send-raw FILE [--half-close]\n";
    return kExitUsage;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string describeReply(const std::optional<xpc::Data>& data) {
    if (!data) return "(no data)";
    return std::string(data->begin(), data->end());
}

// Writes bytes the channel would never produce, to see how the service copes.
int sendRaw(const std::filesystem::path& socketPath, const std::string& bytes, bool halfClose, int timeoutMs) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::cerr << "korvane-helperctl: cannot connect to " << socketPath << ": " << std::strerror(errno) << "\n";
        return kExitTransport;
    }
    if (!xpc::writeAll(fd, xpc::Data(bytes.begin(), bytes.end()))) {
        std::cout << "closed by service\n";
        return kExitOk;
    }
    if (halfClose) ::shutdown(fd, SHUT_WR);
    pollfd p{fd, POLLIN, 0};
    char buffer[4096];
    while (::poll(&p, 1, timeoutMs) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            std::cout << "closed by service\n";
            ::close(fd);
            return kExitOk;
        }
    }
    std::cout << "still open\n";
    ::close(fd);
    return kExitTransport;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::optional<std::filesystem::path> socketPath;
    int timeoutMs = 10000;
    long repeat = 1;
    std::optional<std::string> rawFile;
    bool halfClose = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        try {
            if (arg == "--socket") {
                auto v = value();
                if (!v) return usage("--socket needs a path");
                socketPath = *v;
            } else if (arg == "--timeout") {
                auto v = value();
                if (!v || (timeoutMs = std::stoi(*v)) <= 0) return usage("--timeout needs a positive number");
            } else if (arg == "--repeat") {
                auto v = value();
                if (!v || (repeat = std::stol(*v)) <= 0) return usage("--repeat needs a positive number");
            } else if (arg == "--send-raw") {
                rawFile = value();
                if (!rawFile) return usage("--send-raw needs a file");
            } else if (arg == "--half-close") {
                halfClose = true;
            } else if (arg.starts_with("--")) {
                return usage("unknown option " + arg);
            } else {
                positional.push_back(arg);
            }
        } catch (const std::exception&) {
            return usage("bad number after " + arg);
        }
    }
    const auto path = socketPath.value_or(paths::machServiceSocket(kHelperMachServiceName));

    if (rawFile) {
        const auto bytes = readFile(*rawFile);
        if (!bytes) return usage("cannot read " + *rawFile);
        return sendRaw(path, *bytes, halfClose, timeoutMs);
    }

    if (positional.empty() || positional.size() > 2) return usage("expected a selector and at most one argument");
    const std::string selector = positional[0];
    const auto known = selectorNamed(selector);
    if (!known) return usage("unknown selector " + selector);
    std::optional<xpc::Data> argument;
    if (positional.size() == 2) {
        std::string text = positional[1];
        if (text.starts_with("@")) {
            const auto contents = readFile(text.substr(1));
            if (!contents) return usage("cannot read " + text.substr(1));
            text = *contents;
        }
        argument = xpc::Data(text.begin(), text.end());
    } else if (selectorInfo(*known).takesArgument) {
        return usage(selector + " takes a JSON argument");
    }

    auto connection = xpc::XpcServiceConnection::create(std::string(kHelperMachServiceName), path);
    connection->resume();
    std::optional<xpc::Data> first;
    for (long i = 0; i < repeat; ++i) {
        const auto result = connection->sendSync(selector, argument, std::chrono::milliseconds(timeoutMs));
        if (const auto* error = std::get_if<xpc::XpcTransportError>(&result)) {
            std::cerr << "korvane-helperctl: " << connection->describe(*error) << "\n";
            return kExitTransport;
        }
        const auto& reply = std::get<std::optional<xpc::Data>>(result);
        if (i == 0) {
            first = reply;
        } else if (reply != first) {
            std::cerr << fmt::format("korvane-helperctl: reply {} differs: {}\n", i + 1, describeReply(reply));
            return kExitMismatch;
        }
    }
    if (repeat > 1) std::cerr << fmt::format("korvane-helperctl: {} identical replies\n", repeat);
    std::cout << describeReply(first) << "\n";
    return kExitOk;
}
