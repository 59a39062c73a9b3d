#include "platform/codesign/code_signing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korvane::codesign {
namespace {

using Kind = Requirement::ClauseKind;
using Clauses = std::vector<Requirement::Clause>;

constexpr std::string_view kProductRequirement =
    R"(anchor apple generic and identifier "com.korvane.vpn" and certificate leaf[subject.OU] = "ZK4HM8QT3V")";

const Clauses kProductClauses = {
    {Kind::anchorTrusted, ""},
    {Kind::identifier, "com.korvane.vpn"},
    {Kind::leafSubjectOU, "ZK4HM8QT3V"},
};

struct ParseCase {
    const char* name;
    std::string text;
    OSStatus status;
    Clauses clauses;  // when parsed
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class RequirementParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RequirementParse, ParsesOrRejects) {
    const ParseCase& c = GetParam();
    std::unique_ptr<Requirement> requirement;
    ASSERT_EQ(requirementCreateWithString(kProductRequirement, requirement), errSecSuccess);
    // A failed parse must not leave an earlier requirement in the out parameter.
    const OSStatus status = requirementCreateWithString(c.text, requirement);
    ASSERT_EQ(status, c.status) << statusName(status);
    if (c.status == errSecSuccess) {
        ASSERT_NE(requirement, nullptr);
        EXPECT_EQ(requirement->clauses(), c.clauses);
    } else {
        EXPECT_EQ(requirement, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequirementParse,
    ::testing::Values(
        ParseCase{"Product", std::string(kProductRequirement), errSecSuccess, kProductClauses},
        ParseCase{"ExtraWhitespace",
                  "  anchor\tapple  generic\nand identifier   \"com.korvane.vpn\"  and\r\ncertificate leaf [ "
                  "subject.OU ]=\"ZK4HM8QT3V\"  ",
                  errSecSuccess, kProductClauses},
        ParseCase{"BareIdentifier", "identifier com.korvane.vpn", errSecSuccess, {{Kind::identifier, "com.korvane.vpn"}}},
        ParseCase{"CommonName", R"r(certificate leaf[subject.CN] = "Developer ID Application: Korvane (ZK4HM8QT3V)")r",
                  errSecSuccess, {{Kind::leafSubjectCN, "Developer ID Application: Korvane (ZK4HM8QT3V)"}}},
        ParseCase{"EscapesInString", R"(identifier "a\"b\\c")", errSecSuccess, {{Kind::identifier, "a\"b\\c"}}},
        ParseCase{"MissingClosingQuote", R"(anchor apple generic and identifier "com.korvane.vpn)", errSecCSReqInvalid, {}},
        ParseCase{"BackslashAtEnd", R"(identifier "com\)", errSecCSReqInvalid, {}},
        ParseCase{"UnknownClause", R"(anchor apple generic and entitlement["x"] exists)", errSecCSReqInvalid, {}},
        ParseCase{"Empty", "", errSecCSReqInvalid, {}},
        ParseCase{"OnlyWhitespace", " \t\n", errSecCSReqInvalid, {}},
        ParseCase{"Or", R"(identifier "a" or identifier "b")", errSecCSReqInvalid, {}},
        ParseCase{"Parentheses", R"((identifier "a"))", errSecCSReqInvalid, {}},
        ParseCase{"Negation", R"(! identifier "a")", errSecCSReqInvalid, {}},
        ParseCase{"TrailingAnd", R"(identifier "a" and)", errSecCSReqInvalid, {}},
        ParseCase{"LeadingAnd", R"(and identifier "a")", errSecCSReqInvalid, {}},
        ParseCase{"ClausesWithoutAnd", R"(anchor apple generic identifier "a")", errSecCSReqInvalid, {}},
        ParseCase{"IncompleteAnchor", "anchor apple", errSecCSReqInvalid, {}},
        ParseCase{"OtherAnchor", "anchor trusted", errSecCSReqInvalid, {}},
        ParseCase{"IdentifierWithoutValue", "identifier", errSecCSReqInvalid, {}},
        ParseCase{"OperatorAsValue", "identifier and", errSecCSReqInvalid, {}},
        ParseCase{"UnsupportedField", R"(certificate leaf[subject.O] = "Korvane")", errSecCSReqInvalid, {}},
        ParseCase{"RootCertificate", R"(certificate root[subject.OU] = "ZK4HM8QT3V")", errSecCSReqInvalid, {}},
        ParseCase{"MissingEquals", R"(certificate leaf[subject.OU] "ZK4HM8QT3V")", errSecCSReqInvalid, {}},
        ParseCase{"KeywordCase", R"(Identifier "a")", errSecCSReqInvalid, {}},
        ParseCase{"NulOutsideString", std::string("identifier \"a\"\0", 15), errSecCSReqInvalid, {}},
        ParseCase{"TooLong", "identifier \"" + std::string(kMaxRequirementBytes, 'a') + "\"", errSecCSReqInvalid, {}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

// Every cut of the product text is handled; only cuts that end after a whole clause parse.
TEST(RequirementParse, EveryPrefixOfTheProductTextIsSafe) {
    const std::vector<std::string> complete = {
        "anchor apple generic",
        R"(anchor apple generic and identifier "com.korvane.vpn")",
        std::string(kProductRequirement),
    };
    for (std::size_t length = 0; length <= kProductRequirement.size(); ++length) {
        const std::string prefix(kProductRequirement.substr(0, length));
        std::string trimmed = prefix;
        while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
        const bool whole = std::find(complete.begin(), complete.end(), trimmed) != complete.end();
        std::unique_ptr<Requirement> requirement;
        EXPECT_EQ(requirementCreateWithString(prefix, requirement), whole ? errSecSuccess : errSecCSReqInvalid)
            << "prefix: " << prefix;
    }
}

}  // namespace
}  // namespace korvane::codesign
