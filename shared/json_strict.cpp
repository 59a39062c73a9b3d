#include "shared/json_strict.h"

namespace korvane::json {

Json parse(std::span<const std::uint8_t> bytes) {
    try {
        return Json::parse(bytes.begin(), bytes.end());
    } catch (const Json::parse_error& error) {
        throw DecodeError(std::string("The data is not valid JSON: ") + error.what());
    }
}

Json parse(std::string_view text) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
    return parse(std::span<const std::uint8_t>(begin, text.size()));
}

Bytes serialize(const Json& value) {
    // Replace rather than throw on invalid UTF-8: encoding a record must not fail.
    const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return Bytes(text.begin(), text.end());
}

const Json& requireObject(const Json& value, std::string_view what) {
    if (!value.is_object()) {
        throw DecodeError("expected " + std::string(what) + " to be a JSON object");
    }
    return value;
}

namespace detail {

const Json* member(const Json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

void failMissing(std::string_view key) {
    throw DecodeError("missing required key \"" + std::string(key) + "\"");
}

void failType(std::string_view key, std::string_view expected) {
    throw DecodeError("key \"" + std::string(key) + "\": expected " + std::string(expected));
}

} // namespace detail
} // namespace korvane::json
