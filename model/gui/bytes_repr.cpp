#include "model/gui/bytes_repr.h"

namespace veltaro::gui {

std::string bytes_repr(std::string_view bytes) {
  const bool use_double =
      bytes.find('\'') != std::string_view::npos && bytes.find('"') == std::string_view::npos;
  const char quote = use_double ? '"' : '\'';
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "b";
  out.push_back(quote);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\t':
        out += "\\t";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      default:
        break;
    }
    if (c == static_cast<unsigned char>(quote)) {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 0x20 || c > 0x7E) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back(quote);
  return out;
}

}  // namespace veltaro::gui
