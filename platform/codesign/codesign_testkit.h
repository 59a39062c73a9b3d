#pragma once
// Test-only helpers: make anchors and leaf identities at test time, sign executables with them,
// and load the development identity the build made. Failures throw std::runtime_error; these are
// for test setup, where a throw fails the test.
#include "platform/codesign/code_signing.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace korvane::codesign::testkit {

struct Identity {
    std::string certificatePem;
    std::string privateKeyPem;
};

enum class Validity { current, expired };

// A self-signed EC P-256 root with the given subject CN.
Identity makeAnchor(std::string_view commonName);
// A code-signing leaf issued by `anchor`, subject CN and OU as given.
Identity makeLeaf(const Identity& anchor, std::string_view organizationalUnit, std::string_view commonName,
                  Validity validity = Validity::current);

// Writes "<executable>.kvnsig" with `leaf`, carrying `chainPem` (PEM certificates) in the signature.
void signExecutable(const std::filesystem::path& executable, std::string_view identifier, const Identity& leaf,
                    std::string_view chainPem = {});

// The anchor as a trust set for checkValidity(..., anchors).
TrustAnchors trustAnchorsOf(const Identity& anchor);

// The files the build generated (KORVANE_DEV_ANCHOR_PEM and friends).
Identity devAnchor();
Identity devIdentity();

std::string readFile(const std::filesystem::path& path);

}  // namespace korvane::codesign::testkit
