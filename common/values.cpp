#include "values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace veltaro::common {

bool truthy(const Json& value) noexcept {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return false;
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
    case Json::value_t::binary:
      return !value.empty();
  }
  return false;
}

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::optional<long long> parse_int_text(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  bool negative = false;
  if (begin < end && (text[begin] == '+' || text[begin] == '-')) {
    negative = text[begin] == '-';
    ++begin;
  }
  if (begin == end) return std::nullopt;
  unsigned long long magnitude = 0;
  auto [ptr, ec] = std::from_chars(text.data() + begin, text.data() + end, magnitude);
  if (ec != std::errc{} || ptr != text.data() + end) return std::nullopt;
  constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  if (negative)
    return magnitude == kMax + 1 ? std::numeric_limits<long long>::min()
                                 : -static_cast<long long>(magnitude);
  return static_cast<long long>(magnitude);
}

// Python's repr of a float: the shortest digits that read back the same, in fixed notation while
// the decimal point sits between 4 places left and 16 places right of the first digit.
std::string python_float_text(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, end);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto epos = sci.find('e');
  std::string digits = sci.substr(0, epos);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exponent = std::stoi(sci.substr(epos + 1));
  const int point = exponent + 1;  // digits before the decimal point
  const int ndigits = static_cast<int>(digits.size());
  std::string out;
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= ndigits) {
      out = digits + std::string(static_cast<std::size_t>(point - ndigits), '0') + ".0";
    } else {
      out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
            digits.substr(static_cast<std::size_t>(point));
    }
  } else {
    out = digits.substr(0, 1);
    if (ndigits > 1) out += "." + digits.substr(1);
    const int e = point - 1;
    const int mag = e < 0 ? -e : e;
    out += e < 0 ? "e-" : "e+";
    if (mag < 10) out += '0';
    out += std::to_string(mag);
  }
  return sign + out;
}

}  // namespace

std::optional<long long> to_int(const Json& value) noexcept {
  try {
    switch (value.type()) {
      case Json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
      case Json::value_t::number_integer:
        return value.get<std::int64_t>();
      case Json::value_t::number_unsigned: {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<long long>::max()))
          return std::nullopt;
        return static_cast<long long>(u);
      }
      case Json::value_t::number_float: {
        const double d = std::trunc(value.get<double>());
        if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return std::nullopt;
        return static_cast<long long>(d);
      }
      case Json::value_t::string:
        return parse_int_text(value.get_ref<const std::string&>());
      default:
        return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
}

std::string to_text(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      return value.get<std::string>();
    case Json::value_t::null:
      return "None";
    case Json::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case Json::value_t::number_integer:
      return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return python_float_text(value.get<double>());
    default:
      return dump_utf8(value);
  }
}

const Json* member(const Json& value, const char* key) noexcept {
  if (!value.is_object()) return nullptr;
  const auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

std::string text_of(const Json& object, const char* key, const std::string& fallback) {
  const Json* m = member(object, key);
  return m ? to_text(*m) : fallback;
}

std::string text_or(const Json& object, const char* key, const std::string& fallback) {
  const Json* m = member(object, key);
  return m && truthy(*m) ? to_text(*m) : fallback;
}

std::string dump_ascii(const Json& value) {
  return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::string dump_utf8(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace veltaro::common
