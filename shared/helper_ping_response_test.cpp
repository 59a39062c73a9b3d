#include "shared/helper_ping_response.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

TEST(HelperPingResponseTest, EncodesVersionAsNumberAndRoundTrips) {
    const HelperPingResponse ping{"1.5.10", "10", 7};
    const Bytes bytes = json::encodeRecord(ping);
    const Json doc = json::parse(bytes);
    EXPECT_TRUE(doc.at("protocolVersion").is_number_unsigned());
    EXPECT_EQ(doc.at("protocolVersion"), 7);
    EXPECT_EQ(doc.at("helperVersion"), "1.5.10");
    EXPECT_EQ(doc.at("helperBuild"), "10");
    EXPECT_EQ(json::decodeRecord<HelperPingResponse>(bytes), ping);
}

TEST(HelperPingResponseTest, DecodingRejectsMissingOrMistypedMembers) {
    const char* documents[] = {
        R"({"helperBuild": "10", "protocolVersion": 7})",
        R"({"helperVersion": "1.5.10", "protocolVersion": 7})",
        R"({"helperVersion": "1.5.10", "helperBuild": "10"})",
        R"({"helperVersion": "1.5.10", "helperBuild": 10, "protocolVersion": 7})",
        R"({"helperVersion": "1.5.10", "helperBuild": "10", "protocolVersion": "7"})",
        R"({"helperVersion": "1.5.10", "helperBuild": "10", "protocolVersion": -7})",
        R"({"helperVersion": "1.5.10", "helperBuild": "10", "protocolVersion": 7.5})",
        R"({"helperVersion": "1.5.10", "helperBuild": "10", "protocolVersion": 4294967296})",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        EXPECT_THROW(HelperPingResponse::fromJson(json::parse(std::string_view(document))), json::DecodeError);
    }
}

} // namespace
} // namespace korvane
