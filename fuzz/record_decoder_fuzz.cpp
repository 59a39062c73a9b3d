// Arbitrary bytes as the records of the contract and as the argument of every request-taking
// call of the daemon's service: decoding must fail cleanly or round-trip, and every call must be
// answered exactly once.
#include "helper/helper_service.h"
#include "shared/helper_ping_response.h"
#include "shared/helper_xpc_error.h"
#include "shared/helper_xpc_protocol.h"

#include <cstdlib>

using namespace korvane;

namespace {

template <typename Record>
void roundTrip(std::span<const std::uint8_t> bytes) {
    try {
        const auto record = json::decodeRecord<Record>(bytes);
        const auto again = json::decodeRecord<Record>(json::encodeRecord(record));
        if (!(again == record)) std::abort();
    } catch (const json::DecodeError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    roundTrip<HelperXpcError>(bytes);
    roundTrip<HelperPingResponse>(bytes);

    static HelperService service(&embeddedInfoDictionary(), [] {});
    for (const auto& info : kHelperSelectors) {
        if (!info.takesArgument) continue;
        int replies = 0;
        service.handleCall(info.name, Bytes(bytes.begin(), bytes.end()),
                           xpc::XpcReply([&replies](std::optional<Bytes> reply) {
                               ++replies;
                               // Every failure is an error document the client can read.
                               if (!reply) std::abort();
                               (void)json::decodeRecord<HelperXpcError>(*reply);
                           }));
        if (replies != 1) std::abort();
    }
    return 0;
}
