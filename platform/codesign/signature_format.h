#pragma once
// The on-disk form of a signature, shared by the signer and the checker.
//
// "<executable>.kvnsig" holds one DER CMS SignedData, detached (the signed content is the
// executable's bytes), SHA-256, one signer, with the signer's chain in the certificate set. The
// signing identifier is a signed attribute of our own: OID 1.3.6.1.4.1.99999.1.1, a single
// UTF8String. The arc 99999 is an arbitrary private one; nothing outside this project reads it.
#include <cstddef>
#include <filesystem>
#include <string_view>

namespace korvane::codesign {

inline constexpr std::string_view kSignatureSuffix = ".kvnsig";
inline constexpr const char* kIdentifierAttributeOid = "1.3.6.1.4.1.99999.1.1";

// A signature is a few certificates and a signer info; anything much larger is not ours.
inline constexpr std::size_t kMaxSignatureBytes = 1024 * 1024;
inline constexpr std::size_t kMaxIdentifierBytes = 256;

inline std::filesystem::path signaturePathFor(const std::filesystem::path& executable) {
    std::filesystem::path signature = executable;
    signature += kSignatureSuffix;
    return signature;
}

}  // namespace korvane::codesign
