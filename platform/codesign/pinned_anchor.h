#pragma once
// The development anchor's PEM text, compiled in at build time from the build tree's
// dev-anchor.pem, so the daemon trusts exactly the anchor its build signed with.
#include <string_view>

namespace korvane::codesign {

std::string_view pinnedAnchorPem();

}  // namespace korvane::codesign
