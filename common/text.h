// Small text helpers shared by the layers: ASCII case folding and base64.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltaro::common {

// `s` with A-Z lowered; other bytes (UTF-8 included) untouched. Never throws but std::bad_alloc.
std::string ascii_lower(std::string_view s);
// `s` with a-z raised; other bytes untouched. Never throws but std::bad_alloc.
std::string ascii_upper(std::string_view s);

// Standard base64 with padding. Never throws but std::bad_alloc.
std::string base64_encode(std::string_view bytes);
// nullopt for text that is no padded or unpadded base64 (a foreign character, data after the
// padding, too much padding or a dangling character). Never throws but std::bad_alloc.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace veltaro::common
