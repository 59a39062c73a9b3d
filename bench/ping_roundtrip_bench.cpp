// Ping round trip through the whole channel (frame, JSON, dispatch, reply) against a raw
// Unix-socket echo of the same bytes, both measured in this run. Prints p50 and p99 of each and
// their ratio.
//
//   ping_roundtrip_bench [iterations]     (default 20000; the first 10% are warm-up)
//
// Where the scheduler happens to put the serving thread decides most of a round trip's cost
// (a wake-up on another CPU costs tens of microseconds on a virtual machine, one on the same CPU
// a few), so both sides are measured twice with their threads pinned alike: everything on one
// CPU, and the caller on one CPU with the serving threads on another, as between two processes.
#include "helper/helper_service.h"
#include "platform/launchd/socket_activation.h"
#include "platform/xpc/xpc_listener.h"
#include "platform/xpc/xpc_service_connection.h"
#include "shared/helper_ping_response.h"
#include "shared/helper_xpc_protocol.h"

#include <fmt/format.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

// Admits every connection: the benchmark measures calls, not the signature check at connect.
class AcceptAll : public xpc::XpcListenerDelegate {
public:
    bool shouldAcceptNewConnection(xpc::XpcListener&, xpc::XpcConnection& connection) override {
        connection.setExportedInterface(HelperService::exportedInterface());
        connection.setExportedObject(std::make_shared<HelperService>(&embeddedInfoDictionary(), [] {}));
        connection.resume();
        return true;
    }
};

struct Percentiles {
    double p50;
    double p99;
};

Percentiles percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.50), at(0.99)};
}

// Pins the calling thread; threads it starts afterwards inherit the pinning.
void pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) std::abort();
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The baseline: one thread echoes whatever arrives, the caller writes the bytes of a ping call
// and reads back as many bytes as a ping reply has.
std::vector<double> rawEcho(std::size_t iterations, std::size_t callBytes, std::size_t replyBytes, int clientCpu,
                            int serverCpu) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    pinTo(serverCpu);
    std::thread echo([fd = pair[1], callBytes, replyBytes] {
        std::vector<std::uint8_t> in(callBytes), out(replyBytes, 'x');
        for (;;) {
            std::size_t got = 0;
            while (got < callBytes) {
                const ssize_t n = ::recv(fd, in.data() + got, callBytes - got, 0);
                if (n <= 0) return;
                got += static_cast<std::size_t>(n);
            }
            if (!xpc::writeAll(fd, out)) return;
        }
    });
    pinTo(clientCpu);
    std::vector<std::uint8_t> call(callBytes, 'c'), reply(replyBytes);
    std::vector<double> samples;
    samples.reserve(iterations);
    for (std::size_t i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        xpc::writeAll(pair[0], call);
        std::size_t got = 0;
        while (got < replyBytes) {
            const ssize_t n = ::recv(pair[0], reply.data() + got, replyBytes - got, 0);
            if (n <= 0) std::abort();
            got += static_cast<std::size_t>(n);
        }
        samples.push_back(micros(Clock::now() - start));
    }
    ::shutdown(pair[0], SHUT_RDWR);
    echo.join();
    ::close(pair[0]);
    ::close(pair[1]);
    return samples;
}

struct Run {
    std::vector<double> stack;
    std::vector<double> raw;
    std::size_t callBytes = 0;
    std::size_t replyBytes = 0;
};

// One measurement of both sides, with the caller on `clientCpu` and the serving threads on
// `serverCpu`. Empty when a ping fails.
std::optional<Run> measure(std::size_t iterations, int clientCpu, int serverCpu) {
    const std::size_t warmup = iterations / 10;
    const auto dir = std::filesystem::temp_directory_path() / fmt::format("korvane-bench-{}", getpid());
    std::filesystem::create_directories(dir);
    const auto socketPath = dir / "helper.sock";
    AcceptAll delegate;
    Run run;
    {
        pinTo(serverCpu);   // the listener's threads, and the connection threads they start
        xpc::XpcListener listener(launchd::bindListenSocket(socketPath), std::string(kHelperMachServiceName));
        listener.setDelegate(&delegate);
        listener.resume();
        pinTo(clientCpu);
        auto connection = xpc::XpcServiceConnection::create(std::string(kHelperMachServiceName), socketPath);
        connection->resume();
        for (std::size_t i = 0; i < warmup + iterations; ++i) {
            const auto start = Clock::now();
            const auto result = connection->sendSync("pingWithReply:", std::nullopt, std::chrono::seconds(5));
            const auto elapsed = Clock::now() - start;
            const auto* reply = std::get_if<std::optional<xpc::Data>>(&result);
            if (reply == nullptr || !*reply) return std::nullopt;
            if (i == 0 && json::decodeRecord<HelperPingResponse>(**reply).protocolVersion != kHelperProtocolVersion) {
                return std::nullopt;
            }
            run.replyBytes = xpc::encodeFrame({xpc::FrameType::reply, i, "", **reply}).size();
            if (i >= warmup) run.stack.push_back(micros(elapsed));
        }
        connection.reset();
        listener.invalidate();
    }
    std::filesystem::remove_all(dir);
    run.callBytes = xpc::encodeFrame({xpc::FrameType::call, 1, "pingWithReply:", std::nullopt}).size();
    run.raw = rawEcho(warmup + iterations, run.callBytes, run.replyBytes, clientCpu, serverCpu);
    run.raw.erase(run.raw.begin(), run.raw.begin() + static_cast<std::ptrdiff_t>(warmup));
    return run;
}

void report(const char* title, const Run& run) {
    const auto s = percentiles(run.stack);
    const auto r = percentiles(run.raw);
    fmt::print("{}\n", title);
    fmt::print("  whole stack : p50 {:8.1f} us   p99 {:8.1f} us\n", s.p50, s.p99);
    fmt::print("  raw echo    : p50 {:8.1f} us   p99 {:8.1f} us\n", r.p50, r.p99);
    fmt::print("  ratio       : p50 {:8.2f}      p99 {:8.2f}\n", s.p50 / r.p50, s.p99 / r.p99);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t iterations = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return 1;
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    }

    const auto same = measure(iterations, cpus[0], cpus[0]);
    if (!same) {
        fmt::print(stderr, "ping failed\n");
        return 1;
    }
    fmt::print("ping round trip, {} calls, {} bytes out / {} bytes back\n", iterations, same->callBytes,
               same->replyBytes);
    report("caller and service on one CPU", *same);
    if (cpus.size() > 1) {
        const auto apart = measure(iterations, cpus[0], cpus[1]);
        if (!apart) {
            fmt::print(stderr, "ping failed\n");
            return 1;
        }
        report("caller and service on separate CPUs", *apart);
    }
    return 0;
}
