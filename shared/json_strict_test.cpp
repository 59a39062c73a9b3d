#include "shared/json_strict.h"

#include <gtest/gtest.h>

namespace korvane::json {
namespace {

TEST(JsonStrictTest, IntegerFieldsAcceptOnlyIntegersInRange) {
    struct Case { const char* document; bool ok; std::uint32_t value; };
    const Case cases[] = {
        {R"({"v": 7})", true, 7},
        {R"({"v": 0})", true, 0},
        {R"({"v": 4294967295})", true, 4294967295u},
        {R"({"v": 4294967296})", false, 0},
        {R"({"v": -1})", false, 0},
        {R"({"v": 7.5})", false, 0},
        {R"({"v": 7.0})", false, 0},
        {R"({"v": "7"})", false, 0},
        {R"({"v": true})", false, 0},
        {R"({"v": null})", false, 0},
        {R"({})", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const Json doc = parse(std::string_view(c.document));
        if (c.ok) {
            EXPECT_EQ(required<std::uint32_t>(doc, "v"), c.value);
        } else {
            EXPECT_THROW(required<std::uint32_t>(doc, "v"), DecodeError);
        }
    }
    // Signed fields keep their own range.
    EXPECT_EQ(required<std::int32_t>(parse(std::string_view(R"({"v": -2147483648})")), "v"), INT32_MIN);
    EXPECT_THROW(required<std::int32_t>(parse(std::string_view(R"({"v": 2147483648})")), "v"), DecodeError);
    EXPECT_THROW(required<std::int64_t>(parse(std::string_view(R"({"v": 18446744073709551615})")), "v"), DecodeError);
}

TEST(JsonStrictTest, NullReadsAsAbsentAndUnknownKeysAreIgnored) {
    const Json doc = parse(std::string_view(R"({"a": null, "b": "x", "zzz": [1, 2]})"));
    EXPECT_EQ(optional<std::string>(doc, "a"), std::nullopt);
    EXPECT_EQ(optional<std::string>(doc, "missing"), std::nullopt);
    EXPECT_EQ(optional<std::string>(doc, "b"), "x");
    EXPECT_THROW(optional<bool>(doc, "b"), DecodeError);
    try {
        required<std::string>(doc, "a");
        FAIL() << "null accepted for a required key";
    } catch (const DecodeError& error) {
        EXPECT_STREQ(error.what(), "missing required key \"a\"");
    }
}

TEST(JsonStrictTest, ParseRejectsAnythingButOneDocument) {
    for (const char* text : {"", "{", "{} {}", "{\"a\":1} x", "\xff\xfe", "{'a': 1}"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(parse(std::string_view(text)), DecodeError);
    }
    EXPECT_NO_THROW(parse(std::string_view(" {\"a\": [1, {\"b\": null}]} \n")));
}

TEST(JsonStrictTest, AbsentOptionalsAreLeftOutOnEncode) {
    Json doc = Json::object();
    setOptional<std::string>(doc, "absent", std::nullopt);
    setOptional<std::int64_t>(doc, "present", 5);
    EXPECT_EQ(doc.dump(), R"({"present":5})");
}

TEST(JsonStrictTest, StringArraysAreCheckedElementByElement) {
    const Json doc = parse(std::string_view(R"({"ok": ["a", "b"], "bad": ["a", 1]})"));
    EXPECT_EQ(required<std::vector<std::string>>(doc, "ok"), (std::vector<std::string>{"a", "b"}));
    EXPECT_THROW(required<std::vector<std::string>>(doc, "bad"), DecodeError);
}

} // namespace
} // namespace korvane::json
