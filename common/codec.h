// Character encodings as users name them in session records ("big5", "cp950", "utf8", ...).
// Text inside the program is UTF-8; bytes on the wire are in the tab's encoding.
#pragma once

#include "common/utf8.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltaro::common {

// Raised for an encoding name that no codec answers to. The message names the encoding.
class UnknownEncoding : public std::invalid_argument {
 public:
  explicit UnknownEncoding(std::string_view name);
};

// Whether `name` (case-insensitive, as users type it) names an encoding we can use. Never throws.
bool is_known_encoding(std::string_view name) noexcept;

// An incremental decoder for one connection. Malformed input becomes U+FFFD, one for each maximal
// invalid subsequence; the bytes of a character split across two calls are held back and come out
// whole with the next call. Not thread-safe: one reader thread owns it.
class Decoder {
 public:
  // Throws UnknownEncoding.
  static std::unique_ptr<Decoder> create(std::string_view name);

  virtual ~Decoder() = default;

  // Appends the text decoded from `bytes` to `out` as UTF-8. Throws std::runtime_error only when
  // the codec itself fails (not for malformed input).
  virtual void decode(std::string_view bytes, std::string& out) = 0;

  std::string decode(std::string_view bytes) {
    std::string out;
    decode(bytes, out);
    return out;
  }

  // The same, but a codec may take over `bytes` as the text itself (then `bytes` is left empty),
  // and `chars` is set to the number of characters in the text; when it throws, `bytes` is
  // untouched. A reader's buffer counts what it holds in characters: a codec that sees every
  // character on its way counts them then, instead of a second pass over the text.
  virtual std::string decode_owned(std::string& bytes, CharCount& chars);
  // The same for bytes the caller only lends: they stay where they are, and the text is always a
  // string of its own.
  virtual std::string decode_lent(std::string_view bytes, CharCount& chars);

  // Ends the stream: a character its last bytes left unfinished becomes U+FFFD in `out`, and the
  // decoder starts afresh. Throws std::runtime_error only when the codec itself fails.
  virtual void finish(std::string& out) = 0;
};

// Decodes `bytes` in one piece, replacing malformed input; a trailing incomplete character becomes
// U+FFFD. Throws UnknownEncoding.
std::string decode_whole(std::string_view name, std::string_view bytes);

// Encodes UTF-8 `text`; every character the encoding cannot represent becomes "?".
// Throws UnknownEncoding.
std::string encode(std::string_view name, std::string_view text);

}  // namespace veltaro::common
