#include "helper/helper_service.h"

#include "platform/oslog/log_capture.h"
#include "shared/helper_ping_response.h"
#include "shared/helper_xpc_error.h"
#include "shared/helper_xpc_protocol.h"

#include <gtest/gtest.h>

#include <atomic>

namespace korvane {
namespace {

using Kind = HelperXpcError::Kind;
using oslog::Level;

struct Recorded {
    int calls = 0;
    std::optional<Bytes> data;
};

class HelperServiceTest : public ::testing::Test {
protected:
    HelperService service{&embeddedInfoDictionary(), [this] { mismatchExits.fetch_add(1); }};
    std::atomic<int> mismatchExits{0};
    oslog::LogCapture capture;

    Recorded call(std::string_view selector, std::optional<Bytes> argument) {
        auto recorded = std::make_shared<Recorded>();
        service.handleCall(selector, std::move(argument), xpc::XpcReply([recorded](std::optional<Bytes> data) {
                               recorded->calls++;
                               recorded->data = std::move(data);
                           }));
        return *recorded;
    }
    static Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
    static HelperXpcError errorIn(const Recorded& recorded) {
        EXPECT_TRUE(recorded.data.has_value());
        return json::decodeRecord<HelperXpcError>(recorded.data.value_or(Bytes{}));
    }
};

TEST_F(HelperServiceTest, PingAnswersTheEmbeddedVersionAndProtocol) {
    const auto recorded = call("pingWithReply:", std::nullopt);
    ASSERT_EQ(recorded.calls, 1);
    const auto ping = json::decodeRecord<HelperPingResponse>(*recorded.data);
    EXPECT_EQ(ping, (HelperPingResponse{"1.5.10", "10", 7}));
    EXPECT_TRUE(capture.contains("service", Level::notice, "ping"));

    HelperService bare(nullptr);
    auto bareReply = std::make_shared<Recorded>();
    bare.ping([bareReply](std::optional<Bytes> data) { bareReply->data = std::move(data); });
    EXPECT_EQ(json::decodeRecord<HelperPingResponse>(*bareReply->data), (HelperPingResponse{"0.0", "0", 7}));
}

TEST_F(HelperServiceTest, UndecodableRequestsGetDecodeFailedAndNeverReachTheVersionCheck) {
    struct Case { const char* name; std::string argument; };
    const Case cases[] = {
        {"not JSON", "not json"},
        {"empty", ""},
        {"no version", R"({"mode": "disabled"})"},
        {"version as text", R"({"protocolVersion": "7"})"},
        {"other version and malformed", R"({"protocolVersion": -6})"},
        {"array", R"([7])"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto recorded = call("applyPolicy:reply:", bytes(c.argument));
        ASSERT_EQ(recorded.calls, 1);
        const auto error = errorIn(recorded);
        EXPECT_EQ(error.kind(), Kind::decodeFailed);
        EXPECT_FALSE(error.detail().empty());
        EXPECT_TRUE(capture.contains("service", Level::error, "applyPolicy decode failed: " + error.detail()));
    }
    EXPECT_EQ(mismatchExits.load(), 0);
}

TEST_F(HelperServiceTest, OtherProtocolVersionIsRefusedAndSchedulesTheExit) {
    const std::pair<const char*, const char*> methods[] = {
        {"applyPolicy:reply:", "applyPolicy"},
        {"installIKEv2ServerCertificate:reply:", "installIKEv2ServerCertificate"},
        {"startWireGuard:reply:", "startWireGuard"},
        {"startStealth:reply:", "startStealth"},
    };
    int expectedExits = 0;
    for (const auto& [selector, name] : methods) {
        SCOPED_TRACE(selector);
        const auto recorded = call(selector, bytes(R"({"protocolVersion": 6, "unknown": true})"));
        ASSERT_EQ(recorded.calls, 1);
        const auto error = errorIn(recorded);
        EXPECT_EQ(error.kind(), Kind::protocolMismatch);
        EXPECT_EQ(error.detail(), "host=6 helper=7");
        EXPECT_TRUE(capture.contains("service", Level::error, std::string(name) + " protocol mismatch: host=6 helper=7"));
        EXPECT_EQ(mismatchExits.load(), ++expectedExits);
    }
}

TEST_F(HelperServiceTest, CallsWithoutAManagerYetSayTheyAreNotAvailable) {
    for (const auto& info : kHelperSelectors) {
        if (info.selector == HelperSelector::ping) continue;
        SCOPED_TRACE(info.name);
        const auto recorded =
            call(info.name, info.takesArgument ? std::optional(bytes(R"({"protocolVersion": 7})")) : std::nullopt);
        ASSERT_EQ(recorded.calls, 1);
        const auto error = errorIn(recorded);
        EXPECT_EQ(error.kind(), Kind::internalError);
        EXPECT_EQ(error.detail(), std::string(info.name) + " is not available in this build");
    }
    // The start calls log the helper error they answer with.
    EXPECT_TRUE(capture.contains("service", Level::error,
                                 "startWireGuard helper error: kind=internalError detail=startWireGuard:reply: is not "
                                 "available in this build"));
    EXPECT_EQ(mismatchExits.load(), 0);
}

} // namespace
} // namespace korvane
