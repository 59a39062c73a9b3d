#include "helper/helper_shutdown.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern char** environ;

namespace korvane {
namespace {

// An engine stand-in: a child process that would otherwise outlive the daemon.
pid_t startSleeper() {
    pid_t pid = -1;
    char sleepPath[] = "/bin/sleep";
    char seconds[] = "60";
    char* argv[] = {sleepPath, seconds, nullptr};
    if (posix_spawn(&pid, sleepPath, nullptr, nullptr, argv, environ) != 0) return -1;
    return pid;
}

TEST(HelperShutdownDeathTest, ExitStopsRegisteredEnginesButNotUnregisteredOnes) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const auto marker = std::filesystem::temp_directory_path() / ("shutdown-" + std::to_string(getpid()));
    std::filesystem::remove(marker);
    const pid_t engine = startSleeper();
    ASSERT_GT(engine, 0);

    EXPECT_EXIT(
        {
            HelperShutdown::registerEngineStopper("sleeper", [engine] { ::kill(engine, SIGKILL); });
            const auto stale = HelperShutdown::registerEngineStopper("stale", [marker] {
                std::ofstream(marker) << "ran";
            });
            HelperShutdown::unregisterEngineStopper(stale);
            HelperShutdown::exitProcess(0);
        },
        ::testing::ExitedWithCode(0), "");

    // The engine was stopped by the exiting process; we reap it here as its parent.
    int status = 0;
    ASSERT_EQ(::waitpid(engine, &status, 0), engine);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(HelperShutdownDeathTest, ExitStatusIsPassedThroughAndAThrowingStopperDoesNotBlockTheRest) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const pid_t engine = startSleeper();
    ASSERT_GT(engine, 0);
    EXPECT_EXIT(
        {
            HelperShutdown::registerEngineStopper("broken", [] { throw std::runtime_error("no such process"); });
            HelperShutdown::registerEngineStopper("sleeper", [engine] { ::kill(engine, SIGKILL); });
            HelperShutdown::exitProcess(75);
        },
        ::testing::ExitedWithCode(75), "stopping broken failed: no such process");
    int status = 0;
    ASSERT_EQ(::waitpid(engine, &status, 0), engine);
    EXPECT_TRUE(WIFSIGNALED(status));
}

} // namespace
} // namespace korvane
