#pragma once
// The little JSON a recording needs: a strict parser for one line (objects, arrays, strings,
// numbers, true, false, null); strings and hex bytes are written by text/. Recordings come from
// users' machines, so the parser never trusts its input: it bounds the nesting, checks every
// escape and every UTF-8 sequence, and says what is wrong instead of guessing.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vumo::recording {

struct JsonValue;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;
using JsonArray = std::vector<JsonValue>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> value;

    const JsonObject* object() const { return std::get_if<JsonObject>(&value); }
    const JsonArray* array() const { return std::get_if<JsonArray>(&value); }
    const std::string* string() const { return std::get_if<std::string>(&value); }
    const double* number() const { return std::get_if<double>(&value); }
    const bool* boolean() const { return std::get_if<bool>(&value); }
};

// Parses exactly one JSON value filling all of `text` (blanks around it allowed). On failure
// returns nothing and says why in `error` (without a line number; the caller adds it).
std::optional<JsonValue> ParseJson(std::string_view text, std::string& error);

}  // namespace vumo::recording
