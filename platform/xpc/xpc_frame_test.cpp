#include "platform/xpc/xpc_frame.h"

#include <gtest/gtest.h>


namespace korvane::xpc {
namespace {

Data binary() {
    Data d;
    for (int i = 0; i < 300; ++i) d.push_back(static_cast<std::uint8_t>(i * 7));
    d.push_back(0);
    return d;
}

TEST(XpcFrameTest, FramesRoundTripWhetherFedWholeOrByteByByte) {
    const std::vector<Frame> frames = {
        {FrameType::call, 1, "pingWithReply:", std::nullopt},
        {FrameType::call, 2, "applyPolicy:reply:", Data{}},
        {FrameType::call, 0xFFFFFFFFFFFFFFFFull, std::string(255, 's'), binary()},
        {FrameType::reply, 3, "", binary()},
        {FrameType::reply, 4, "", std::nullopt},
        {FrameType::refused, 0, "", std::nullopt},
    };
    Data stream;
    for (const auto& frame : frames) {
        const Data bytes = encodeFrame(frame);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    for (std::size_t step : {stream.size(), std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE(step);
        FrameReader reader;
        std::vector<Frame> decoded;
        for (std::size_t i = 0; i < stream.size(); i += step) {
            reader.feed(std::span(stream).subspan(i, std::min(step, stream.size() - i)));
            while (auto frame = reader.next()) decoded.push_back(*frame);
        }
        EXPECT_EQ(decoded, frames);
        EXPECT_FALSE(reader.hasPartialFrame());
    }
}

TEST(XpcFrameTest, OversizeLengthIsRefusedBeforeTheBodyArrives) {
    FrameReader reader;
    const std::uint32_t length = kMaxFrameBody + 1;
    const Data header = {std::uint8_t(length >> 24), std::uint8_t(length >> 16), std::uint8_t(length >> 8),
                         std::uint8_t(length)};
    reader.feed(header);
    EXPECT_THROW(reader.next(), FrameError);

    Frame big{FrameType::reply, 1, "", Data(kMaxFrameBody, 0)};
    EXPECT_THROW(encodeFrame(big), FrameError);
    big.data->resize(kMaxFrameBody - 10);   // type + id + flag = 10 bytes of body
    EXPECT_EQ(encodeFrame(big).size(), kFrameHeaderSize + kMaxFrameBody);
}

TEST(XpcFrameTest, MalformedBodiesAreRejected) {
    struct Case { const char* name; Data body; };
    const Case cases[] = {
        {"empty", {}},
        {"unknown type", {9, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"short call id", {2, 0, 0}},
        {"empty selector", {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
        {"selector longer than body", {1, 0, 0, 0, 0, 0, 0, 0, 1, 5, 'a', 'b'}},
        {"missing data flag", {2, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"bad data flag", {2, 0, 0, 0, 0, 0, 0, 0, 1, 2}},
        {"bytes after empty flag", {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 'x'}},
        {"refused with payload", {3, 0, 0, 0, 0, 0, 0, 0, 0, 'x'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(decodeFrameBody(c.body), FrameError);
    }
    FrameReader reader;
    reader.feed(Data{0, 0, 0, 0});
    EXPECT_THROW(reader.next(), FrameError);
}

} // namespace
} // namespace korvane::xpc
