// The value rules every reader of session records applies: records are edited by people and by
// the page, so a port may arrive as 22, 22.0 or " 22 ", and a flag as true, 1 or "x".
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace veltaro::common {

using Json = nlohmann::ordered_json;

// null, false, 0, 0.0, "", [] and {} are false; everything else is true. Never fails.
bool truthy(const Json& value) noexcept;

// bool -> 0/1, integers as they are, floats truncated toward zero, text of optional blanks, sign
// and decimal digits. Anything else, or a value out of range, gives nullopt. Never throws.
std::optional<long long> to_int(const Json& value) noexcept;

// Text as is, integers in decimal, floats the way Python prints them ("22.0", "1e+16"),
// true/false as "True"/"False", null as "None"; lists and objects as compact JSON.
std::string to_text(const Json& value);

// The member `key` of an object, or nullptr when `value` is no object or lacks it.
const Json* member(const Json& value, const char* key) noexcept;

// to_text of a member, or `fallback` when the member is missing.
std::string text_of(const Json& object, const char* key, const std::string& fallback = "");

// The member's text when it is truthy, otherwise `fallback` ("x or default" in record readers).
std::string text_or(const Json& object, const char* key, const std::string& fallback);

// JSON text in which every character outside ASCII is a \u escape (surrogate pairs above the basic
// plane); invalid UTF-8 comes out as U+FFFD. Used where the text becomes part of a script.
std::string dump_ascii(const Json& value);

// Compact JSON text, UTF-8 as is, invalid UTF-8 replaced. Never throws.
std::string dump_utf8(const Json& value, int indent = -1);

}  // namespace veltaro::common
