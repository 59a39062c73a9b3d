#pragma once
// Making a signature: the one signing routine, shared by kvn-codesign and the test kit.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane::codesign {

struct SigningIdentity {
    std::string certificatePem;  // the leaf
    std::string privateKeyPem;   // the leaf's key, unencrypted
    std::string chainPem;        // intermediates and/or anchor to carry in the signature; may be empty
};

class SigningError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes "<executable>.kvnsig" (signature_format.h) for the executable's current bytes, bound to
// `identifier`. The file is replaced atomically: a reader sees the old signature or the new one.
// Throws SigningError.
void signExecutable(const std::filesystem::path& executable, std::string_view identifier,
                    const SigningIdentity& identity);

}  // namespace korvane::codesign
