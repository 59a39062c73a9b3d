// kvn-codesign: signs an executable with a development identity, and checks one against a
// requirement (for debugging what the daemon will decide).
//
//   kvn-codesign sign --identifier ID --cert LEAF.pem --key LEAF.key [--chain CHAIN.pem] EXE
//   kvn-codesign verify --anchor ANCHOR.pem --requirement TEXT EXE
#include "platform/codesign/code_signing.h"
#include "platform/codesign/sign.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace korvane::codesign;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int usage() {
    std::cerr << "usage: kvn-codesign sign --identifier ID --cert LEAF.pem --key LEAF.key [--chain CHAIN.pem] EXE\n"
                 "       kvn-codesign verify --anchor ANCHOR.pem --requirement TEXT EXE\n";
    return kExitUsage;
}

struct Arguments {
    std::map<std::string, std::string> options;
    std::string executable;
};

// "--name value" pairs from `allowed`, then exactly one operand.
std::optional<Arguments> parse(int argc, char** argv, const std::vector<std::string>& allowed) {
    Arguments arguments;
    std::vector<std::string> operands;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.rfind("--", 0) == 0) {
            bool known = false;
            for (const std::string& name : allowed) known = known || name == word;
            if (!known || i + 1 >= argc || arguments.options.count(word) != 0) return std::nullopt;
            arguments.options[word] = argv[++i];
        } else {
            operands.push_back(word);
        }
    }
    if (operands.size() != 1) return std::nullopt;
    arguments.executable = operands.front();
    return arguments;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

int sign(int argc, char** argv) {
    const auto arguments = parse(argc, argv, {"--identifier", "--cert", "--key", "--chain"});
    if (!arguments || arguments->options.count("--identifier") == 0 || arguments->options.count("--cert") == 0 ||
        arguments->options.count("--key") == 0) {
        return usage();
    }
    SigningIdentity identity;
    for (const auto& [option, field] : {std::pair{"--cert", &identity.certificatePem},
                                        std::pair{"--key", &identity.privateKeyPem},
                                        std::pair{"--chain", &identity.chainPem}}) {
        const auto found = arguments->options.find(option);
        if (found == arguments->options.end()) continue;
        std::optional<std::string> text = readFile(found->second);
        if (!text) {
            std::cerr << "kvn-codesign: cannot read " << found->second << "\n";
            return kExitFailure;
        }
        *field = std::move(*text);
    }
    try {
        signExecutable(arguments->executable, arguments->options.at("--identifier"), identity);
    } catch (const SigningError& error) {
        std::cerr << "kvn-codesign: " << error.what() << "\n";
        return kExitFailure;
    }
    return 0;
}

int verify(int argc, char** argv) {
    const auto arguments = parse(argc, argv, {"--anchor", "--requirement"});
    if (!arguments || arguments->options.count("--anchor") == 0 || arguments->options.count("--requirement") == 0) {
        return usage();
    }
    const std::optional<std::string> anchorPem = readFile(arguments->options.at("--anchor"));
    const std::optional<TrustAnchors> anchors = anchorPem ? TrustAnchors::fromPem(*anchorPem) : std::nullopt;
    if (!anchors) {
        std::cerr << "kvn-codesign: " << arguments->options.at("--anchor") << " holds no PEM certificate\n";
        return kExitFailure;
    }
    std::unique_ptr<Requirement> requirement;
    OSStatus status = requirementCreateWithString(arguments->options.at("--requirement"), requirement);
    if (status == errSecSuccess) status = checkStaticValidity(arguments->executable, *requirement, *anchors);
    std::cout << arguments->executable << ": " << statusName(status) << " (" << status << ")\n";
    return status == errSecSuccess ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "sign") return sign(argc, argv);
    if (command == "verify") return verify(argc, argv);
    return usage();
}
