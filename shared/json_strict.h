#pragma once
// Strict JSON decoding and encoding for the records that cross a boundary.
//
// nlohmann converts silently (a string "7" is not a number, 7.5 is not an integer, -1 is not an
// unsigned); these helpers refuse all of that so a record decodes as the peer meant it or not at
// all. The rules every record follows:
//   - required keys must be present, and a JSON null counts as absent;
//   - integers must be JSON integers within the field's range (no fractions, no text);
//   - enum raw values are matched case-sensitively;
//   - unknown keys are ignored;
//   - absent optionals are left out on encode.
// Every failure is a DecodeError whose message names the key and what was wrong with it.
#include <nlohmann/json.hpp>

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace korvane {

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

namespace json {

class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses a whole document; anything but one JSON value (trailing bytes included) fails.
Json parse(std::span<const std::uint8_t> bytes);
Json parse(std::string_view text);

// Compact serialisation, UTF-8 kept as it is.
Bytes serialize(const Json& value);

// The value must be an object; `what` names it in the error.
const Json& requireObject(const Json& value, std::string_view what);

namespace detail {

// The member, or nullptr when it is absent or null.
const Json* member(const Json& object, std::string_view key);

[[noreturn]] void failMissing(std::string_view key);
[[noreturn]] void failType(std::string_view key, std::string_view expected);

template <typename T>
T convert(const Json& value, std::string_view key) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.is_boolean()) failType(key, "a boolean");
        return value.get<bool>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!value.is_string()) failType(key, "a string");
        return value.get<std::string>();
    } else if constexpr (std::is_integral_v<T>) {
        // Only true JSON integers; the sign and range are checked against T.
        if (value.is_number_unsigned()) {
            const auto v = value.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) failType(key, "an integer in range");
            return static_cast<T>(v);
        }
        if (value.is_number_integer()) {
            const auto v = value.get<std::int64_t>();
            if constexpr (std::is_unsigned_v<T>) {
                if (v < 0) failType(key, "a non-negative integer");
                if (static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                    failType(key, "an integer in range");
                }
            } else {
                if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
                    v > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
                    failType(key, "an integer in range");
                }
            }
            return static_cast<T>(v);
        }
        failType(key, "an integer");
    } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
        if (!value.is_array()) failType(key, "an array of strings");
        std::vector<std::string> out;
        out.reserve(value.size());
        for (const auto& element : value) {
            if (!element.is_string()) failType(key, "an array of strings");
            out.push_back(element.get<std::string>());
        }
        return out;
    } else {
        static_assert(sizeof(T) == 0, "unsupported field type");
    }
}

} // namespace detail

template <typename T>
T required(const Json& object, std::string_view key) {
    const Json* value = detail::member(object, key);
    if (value == nullptr) detail::failMissing(key);
    return detail::convert<T>(*value, key);
}

template <typename T>
std::optional<T> optional(const Json& object, std::string_view key) {
    const Json* value = detail::member(object, key);
    if (value == nullptr) return std::nullopt;
    return detail::convert<T>(*value, key);
}

// An enum read through its raw-value parser: `parse(std::string_view) -> std::optional<E>`.
template <typename E, typename Parser>
E requiredEnum(const Json& object, std::string_view key, Parser parseRaw) {
    const auto raw = required<std::string>(object, key);
    if (auto value = parseRaw(raw)) return *value;
    throw DecodeError("key \"" + std::string(key) + "\": unknown value \"" + raw + "\"");
}

template <typename T>
void setOptional(Json& object, std::string_view key, const std::optional<T>& value) {
    if (value) object[std::string(key)] = *value;
}

// A record type R provides `static R fromJson(const Json&)` and `Json toJson() const`.
template <typename R>
R decodeRecord(std::span<const std::uint8_t> bytes) {
    return R::fromJson(parse(bytes));
}

template <typename R>
Bytes encodeRecord(const R& record) {
    return serialize(record.toJson());
}

} // namespace json
} // namespace korvane
