#include "platform/launchd/socket_activation.h"

#include "platform/posix/unique_fd.h"
#include "tests/support/scratch_directory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace korvane::launchd {
namespace {

using ScratchDirectory = korvane::testing::ScratchDirectory;
using posix::UniqueFd;

constexpr const char* kActivationVariables[] = {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"};

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

UniqueFd connectTo(const std::filesystem::path& path) {
    UniqueFd client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(path);
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        client.reset();
    }
    return client;
}

bool hasCloseOnExec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// Borrows fd 3 and the LISTEN_* variables for one test and gives both back afterwards, so the
// test process is left as it was found.
class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedFd3_ = fcntl(kListenFdsStart, F_DUPFD_CLOEXEC, 10);
        if (savedFd3_ >= 0) {
            savedFd3Flags_ = fcntl(kListenFdsStart, F_GETFD);
        }
        for (const char* name : kActivationVariables) {
            const char* value = std::getenv(name);
            savedVariables_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        close(kListenFdsStart);
    }

    void TearDown() override {
        close(kListenFdsStart);
        if (savedFd3_ >= 0) {
            dup2(savedFd3_, kListenFdsStart);
            fcntl(kListenFdsStart, F_SETFD, savedFd3Flags_);
            close(savedFd3_);
        }
        for (std::size_t index = 0; index < savedVariables_.size(); ++index) {
            if (savedVariables_[index]) {
                setenv(kActivationVariables[index], savedVariables_[index]->c_str(), 1);
            } else {
                unsetenv(kActivationVariables[index]);
            }
        }
    }

    // Puts `fd` at 3 without FD_CLOEXEC, as the launcher's child would have it.
    static void placeAtFd3(int fd) {
        ASSERT_GE(fd, 0);
        if (fd != kListenFdsStart) {
            ASSERT_EQ(dup2(fd, kListenFdsStart), kListenFdsStart);
            close(fd);
        } else {
            ASSERT_EQ(fcntl(fd, F_SETFD, 0), 0);
        }
    }

    ScratchDirectory dir_{"korvane-launchd"};

private:
    int savedFd3_ = -1;
    int savedFd3Flags_ = 0;
    std::vector<std::optional<std::string>> savedVariables_;
};

enum class Fd3 { closed, listeningUnixStream, unlistenedUnixStream, unixDatagram, listeningTcp, pipe };

struct ActivationCase {
    const char* name;
    Fd3 fd3;
    std::optional<std::string> listenPid; // "self" stands for this process's pid
    std::optional<std::string> listenFds;
    bool taken;
};

void PrintTo(const ActivationCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class TakeActivatedListenSocketTest : public ActivationTest, public ::testing::WithParamInterface<ActivationCase> {
protected:
    void prepareFd3(Fd3 kind) {
        switch (kind) {
        case Fd3::closed:
            return;
        case Fd3::listeningUnixStream:
            placeAtFd3(bindListenSocket(dir_.path() / "s.sock"));
            return;
        case Fd3::unlistenedUnixStream:
            placeAtFd3(socket(AF_UNIX, SOCK_STREAM, 0));
            return;
        case Fd3::unixDatagram:
            placeAtFd3(socket(AF_UNIX, SOCK_DGRAM, 0));
            return;
        case Fd3::listeningTcp: {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
            ASSERT_EQ(listen(fd, 1), 0);
            placeAtFd3(fd);
            return;
        }
        case Fd3::pipe: {
            int ends[2];
            ASSERT_EQ(::pipe(ends), 0);
            close(ends[1]);
            placeAtFd3(ends[0]);
            return;
        }
        }
    }
};

TEST_P(TakeActivatedListenSocketTest, AcceptsOnlyAValidHandOver) {
    const ActivationCase& testCase = GetParam();
    ASSERT_NO_FATAL_FAILURE(prepareFd3(testCase.fd3));
    if (testCase.listenPid) {
        const std::string value = *testCase.listenPid == "self" ? std::to_string(getpid()) : *testCase.listenPid;
        setenv("LISTEN_PID", value.c_str(), 1);
    }
    if (testCase.listenFds) {
        setenv("LISTEN_FDS", testCase.listenFds->c_str(), 1);
    }
    setenv("LISTEN_FDNAMES", "com.korvane.test", 1);

    const std::optional<int> taken = takeActivatedListenSocket();

    for (const char* name : kActivationVariables) {
        EXPECT_EQ(std::getenv(name), nullptr) << name << " left in the environment";
    }
    if (!testCase.taken) {
        EXPECT_EQ(taken, std::nullopt);
        return;
    }
    ASSERT_EQ(taken, std::optional<int>(kListenFdsStart));
    EXPECT_TRUE(hasCloseOnExec(*taken));
    UniqueFd client = connectTo(dir_.path() / "s.sock");
    ASSERT_TRUE(client);
    UniqueFd accepted(accept4(*taken, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    EXPECT_TRUE(accepted);
}

const std::string kOtherPid = std::to_string(getppid());

INSTANTIATE_TEST_SUITE_P(
    Cases, TakeActivatedListenSocketTest,
    ::testing::Values(
        ActivationCase{"Valid", Fd3::listeningUnixStream, "self", "1", true},
        ActivationCase{"NoVariables", Fd3::listeningUnixStream, std::nullopt, std::nullopt, false},
        ActivationCase{"PidOfAnotherProcess", Fd3::listeningUnixStream, kOtherPid, "1", false},
        ActivationCase{"NoPid", Fd3::listeningUnixStream, std::nullopt, "1", false},
        ActivationCase{"PidNotANumber", Fd3::listeningUnixStream, "12abc", "1", false},
        ActivationCase{"ZeroFds", Fd3::listeningUnixStream, "self", "0", false},
        ActivationCase{"NegativeFds", Fd3::listeningUnixStream, "self", "-1", false},
        ActivationCase{"FdsNotANumber", Fd3::listeningUnixStream, "self", "one", false},
        ActivationCase{"NoFds", Fd3::listeningUnixStream, "self", std::nullopt, false},
        ActivationCase{"Fd3Closed", Fd3::closed, "self", "1", false},
        ActivationCase{"Fd3NotListening", Fd3::unlistenedUnixStream, "self", "1", false},
        ActivationCase{"Fd3Datagram", Fd3::unixDatagram, "self", "1", false},
        ActivationCase{"Fd3Tcp", Fd3::listeningTcp, "self", "1", false},
        ActivationCase{"Fd3Pipe", Fd3::pipe, "self", "1", false}),
    [](const ::testing::TestParamInfo<ActivationCase>& info) { return std::string(info.param.name); });

class BindListenSocketTest : public ::testing::Test {
protected:
    ScratchDirectory dir_{"korvane-launchd"};
};

TEST_F(BindListenSocketTest, CreatesParentAndListensForAnyUser) {
    const auto path = dir_.path() / "var" / "run" / "korvane" / "svc.sock";
    // A restrictive umask must not leak into the socket's mode.
    const mode_t previousMask = umask(077);
    int fd = -1;
    EXPECT_NO_THROW(fd = bindListenSocket(path));
    umask(previousMask);
    UniqueFd listener(fd);
    ASSERT_TRUE(listener);

    struct stat status {};
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    EXPECT_TRUE(hasCloseOnExec(listener.get()));

    UniqueFd client = connectTo(path);
    EXPECT_TRUE(client);
}

TEST_F(BindListenSocketTest, ReplacesSocketLeftByAListenerThatIsGone) {
    const auto path = dir_.path() / "svc.sock";
    {
        UniqueFd gone(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = addressOf(path);
        ASSERT_EQ(bind(gone.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    }
    ASSERT_TRUE(std::filesystem::is_socket(path));

    UniqueFd listener(bindListenSocket(path));
    UniqueFd client = connectTo(path);
    ASSERT_TRUE(client);
    UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    EXPECT_TRUE(accepted);
}

struct RefusalCase {
    const char* name;
    std::function<void(const std::filesystem::path&, std::optional<UniqueFd>&)> prepare;
    std::errc expected;
};

void PrintTo(const RefusalCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class BindListenSocketRefusalTest : public BindListenSocketTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(BindListenSocketRefusalTest, LeavesWhatIsThereAlone) {
    const auto path = dir_.path() / "svc.sock";
    std::optional<UniqueFd> existingListener;
    GetParam().prepare(path, existingListener);

    try {
        UniqueFd unexpected(bindListenSocket(path));
        FAIL() << "bindListenSocket succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::make_error_code(GetParam().expected)) << error.what();
        EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
    }
    if (existingListener) {
        UniqueFd client = connectTo(path);
        EXPECT_TRUE(client) << "the running listener lost its socket file";
    } else {
        std::ifstream file(path);
        std::string content;
        std::getline(file, content);
        EXPECT_EQ(content, "keep me");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BindListenSocketRefusalTest,
    ::testing::Values(
        RefusalCase{"RegularFile",
                    [](const std::filesystem::path& path, std::optional<UniqueFd>&) {
                        std::ofstream(path) << "keep me\n";
                    },
                    std::errc::file_exists},
        RefusalCase{"LiveListener",
                    [](const std::filesystem::path& path, std::optional<UniqueFd>& listener) {
                        listener.emplace(bindListenSocket(path));
                    },
                    std::errc::address_in_use}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(BindListenSocketTest, RejectsPathLongerThanASocketAddress) {
    const auto path = dir_.path() / std::string(sizeof(sockaddr_un::sun_path), 'x');
    try {
        UniqueFd unexpected(bindListenSocket(path));
        FAIL() << "bindListenSocket succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::make_error_code(std::errc::filename_too_long)) << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
} // namespace korvane::launchd
