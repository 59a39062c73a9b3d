#pragma once
// A source BIO that reads a file descriptor from offset 0 with pread, leaving the descriptor's
// own offset alone, so one opened executable can be hashed any number of times, concurrently.
#include "platform/codesign/openssl_handles.h"

namespace korvane::codesign::detail {

// The descriptor is borrowed and must outlive the BIO. Null when OpenSSL cannot allocate.
BioPtr preadBio(int fd);

}  // namespace korvane::codesign::detail
