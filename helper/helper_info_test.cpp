#include "helper/helper_info.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

TEST(BuildInfoTest, ReadsTextValuesAndFallsBackOtherwise) {
    struct Case { const char* name; std::optional<InfoDictionary> info; const char* version; const char* build; };
    const Case cases[] = {
        {"embedded", embeddedInfoDictionary(), "1.5.10", "10"},
        {"no dictionary", std::nullopt, "0.0", "0"},
        {"no version keys", InfoDictionary{{"CFBundleIdentifier", std::string("x")}}, "0.0", "0"},
        {"values that are not text", InfoDictionary{{"CFBundleShortVersionString", true}, {"CFBundleVersion", false}},
         "0.0", "0"},
        {"only the build", InfoDictionary{{"CFBundleVersion", std::string("42")}}, "0.0", "42"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto info = BuildInfo::from(c.info ? &*c.info : nullptr);
        EXPECT_EQ(info.version, c.version);
        EXPECT_EQ(info.build, c.build);
    }
}

} // namespace
} // namespace korvane
