// The requirement-text parser. The text may come from configuration or a peer, so every path ends
// in a status; nothing here throws or reads past the input.
#include "platform/codesign/code_signing.h"

#include <algorithm>

namespace korvane::codesign {
namespace {

struct Token {
    enum class Kind { word, string, punctuation };
    Kind kind;
    std::string text;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool tokenize(std::string_view text, std::vector<Token>& tokens) {
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (isSpace(c)) {
            ++i;
        } else if (c == '[' || c == ']' || c == '=') {
            tokens.push_back({Token::Kind::punctuation, std::string(1, c)});
            ++i;
        } else if (c == '"') {
            std::string value;
            ++i;
            bool closed = false;
            while (i < text.size()) {
                const char d = text[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\') {
                    if (i == text.size()) return false;
                    value.push_back(text[i++]);
                } else {
                    value.push_back(d);
                }
            }
            if (!closed) return false;
            tokens.push_back({Token::Kind::string, std::move(value)});
        } else if (isWordChar(c)) {
            const std::size_t start = i;
            while (i < text.size() && isWordChar(text[i])) ++i;
            tokens.push_back({Token::Kind::word, std::string(text.substr(start, i - start))});
        } else {
            return false;
        }
    }
    return true;
}

class Parser {
public:
    explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

    bool parse(std::vector<Requirement::Clause>& clauses) {
        do {
            Requirement::Clause clause{};
            if (!parseClause(clause)) return false;
            clauses.push_back(std::move(clause));
        } while (acceptWord("and"));
        return next_ == tokens_.size();
    }

private:
    bool parseClause(Requirement::Clause& clause) {
        if (acceptWord("anchor")) {
            clause.kind = Requirement::ClauseKind::anchorTrusted;
            return acceptWord("apple") && acceptWord("generic");
        }
        if (acceptWord("identifier")) {
            clause.kind = Requirement::ClauseKind::identifier;
            return acceptValue(clause.value);
        }
        if (acceptWord("certificate")) {
            if (!acceptWord("leaf") || !acceptPunctuation('[')) return false;
            if (acceptWord("subject.OU")) {
                clause.kind = Requirement::ClauseKind::leafSubjectOU;
            } else if (acceptWord("subject.CN")) {
                clause.kind = Requirement::ClauseKind::leafSubjectCN;
            } else {
                return false;
            }
            return acceptPunctuation(']') && acceptPunctuation('=') && acceptValue(clause.value);
        }
        return false;
    }

    bool acceptWord(std::string_view word) {
        if (next_ < tokens_.size() && tokens_[next_].kind == Token::Kind::word && tokens_[next_].text == word) {
            ++next_;
            return true;
        }
        return false;
    }

    bool acceptPunctuation(char c) {
        if (next_ < tokens_.size() && tokens_[next_].kind == Token::Kind::punctuation &&
            tokens_[next_].text[0] == c) {
            ++next_;
            return true;
        }
        return false;
    }

    bool acceptValue(std::string& value) {
        if (next_ >= tokens_.size()) return false;
        const Token& token = tokens_[next_];
        if (token.kind == Token::Kind::punctuation) return false;
        // A bare "and"/"or" is a misplaced operator, not a value.
        if (token.kind == Token::Kind::word && (token.text == "and" || token.text == "or")) return false;
        value = token.text;
        ++next_;
        return true;
    }

    const std::vector<Token>& tokens_;
    std::size_t next_ = 0;
};

}  // namespace

bool Requirement::hasAnchorClause() const {
    return std::any_of(clauses_.begin(), clauses_.end(),
                       [](const Clause& clause) { return clause.kind == ClauseKind::anchorTrusted; });
}

OSStatus requirementCreateWithString(std::string_view text, std::unique_ptr<Requirement>& requirement) {
    requirement.reset();
    if (text.size() > kMaxRequirementBytes) return errSecCSReqInvalid;
    std::vector<Token> tokens;
    if (!tokenize(text, tokens) || tokens.empty()) return errSecCSReqInvalid;
    std::vector<Requirement::Clause> clauses;
    if (!Parser(tokens).parse(clauses)) return errSecCSReqInvalid;
    std::unique_ptr<Requirement> parsed(new Requirement());
    parsed->clauses_ = std::move(clauses);
    requirement = std::move(parsed);
    return errSecSuccess;
}

}  // namespace korvane::codesign
