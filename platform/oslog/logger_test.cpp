#include "platform/oslog/log_capture.h"
#include "platform/oslog/logger.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace korvane::oslog {
namespace {

TEST(LoggerTest, CaptureSeesLevelCategoryAndFormattedText) {
    Logger log("com.korvane.vpn.helper", "listener");
    LogCapture capture;
    log.error("rejecting peer pid={} — code-sign requirement check failed", 4242);
    log.notice("accepted XPC connection pid={}", 7);

    EXPECT_TRUE(capture.contains("listener", Level::error,
                                 "rejecting peer pid=4242 — code-sign requirement check failed"));
    EXPECT_TRUE(capture.contains("listener", Level::notice, "accepted XPC connection pid=7"));
    EXPECT_FALSE(capture.contains("listener", Level::error, "accepted XPC connection pid=7"));
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.lines()[0].subsystem, "com.korvane.vpn.helper");
}

TEST(LoggerTest, CaptureEndsWithItsScopeAndSeesEveryThread) {
    Logger log("com.korvane.vpn.helper", "service");
    {
        LogCapture capture;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < 50; ++i) log.info("thread {} line {}", t, i);
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(capture.lines().size(), 200u);
    }
    LogCapture later;
    log.fault("after");
    ASSERT_EQ(later.lines().size(), 1u);
    EXPECT_EQ(later.lines()[0].level, Level::fault);
}

} // namespace
} // namespace korvane::oslog
