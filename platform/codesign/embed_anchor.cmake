# Writes a C++ source that returns the development anchor's PEM text.
#   cmake -DANCHOR_PEM=<dev-anchor.pem> -DOUTPUT=<pinned_anchor_data.cpp> -P embed_anchor.cmake
if(NOT ANCHOR_PEM OR NOT OUTPUT)
  message(FATAL_ERROR "embed_anchor.cmake needs ANCHOR_PEM and OUTPUT")
endif()
file(READ "${ANCHOR_PEM}" pem)
if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----")
  message(FATAL_ERROR "${ANCHOR_PEM} holds no PEM certificate")
endif()
if(pem MATCHES "\\)kvnpem\"")
  message(FATAL_ERROR "${ANCHOR_PEM} contains the raw-string delimiter")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from ${ANCHOR_PEM} at build time; do not edit.
#include \"platform/codesign/pinned_anchor.h\"

namespace korvane::codesign {

std::string_view pinnedAnchorPem() {
    return R\"kvnpem(${pem})kvnpem\";
}

}  // namespace korvane::codesign
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
