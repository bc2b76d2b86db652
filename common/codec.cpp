#include "common/codec.h"

#include "common/codec_names.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include "common/ascii_blocks.h"
#endif

namespace veltaro::common {

namespace {

using codec_names::Codec;
using codec_names::kNoC1;
using codec_names::kPcControls;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

const Codec& codec_for(std::string_view name) {
  const Codec* codec = codec_names::find(name);
  if (codec == nullptr) throw UnknownEncoding(name);
  return *codec;
}

char16_t permute_to_icu(char16_t c) {
  return c == 0x1A ? 0x1C : c == 0x1C ? 0x7F : c == 0x7F ? 0x1A : c;
}
char16_t permute_from_icu(char16_t c) {
  return c == 0x1C ? 0x1A : c == 0x7F ? 0x1C : c == 0x1A ? 0x7F : c;
}

// ---- UTF-8 ----------------------------------------------------------------------------------

bool is_trail(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Length of the character starting at p; -n when its first n bytes are a maximal invalid
// subsequence (the unit Python replaces with one U+FFFD); 0 when [p, end) is a valid but
// unfinished start of a character.
int classify_utf8(const unsigned char* p, const unsigned char* end) {
  const unsigned b0 = *p;
  int trails;
  unsigned lo = 0x80, hi = 0xBF;
  if (b0 < 0x80) return 1;
  if (b0 < 0xC2) return -1;
  if (b0 < 0xE0) {
    trails = 1;
  } else if (b0 < 0xF0) {
    trails = 2;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 < 0xF5) {
    trails = 3;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i <= trails; ++i) {
    if (p + i == end) return 0;
    if (p[i] < lo || p[i] > hi) return -i;
    lo = 0x80;
    hi = 0xBF;
  }
  return trails + 1;
}

const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  while (end - p >= 16) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    if (((a | b) & kHighBits) != 0) break;
    p += 16;
  }
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (const uint64_t high = w & kHighBits; high != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return p + (std::countr_zero(high) >> 3);
      }
      break;
    }
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

#if defined(__x86_64__) || defined(__i386__)

// Keiser and Lemire, "Validating UTF-8 in less than one instruction per byte" (2021): three
// nibble lookups flag every bad pair of adjacent bytes, and the 0x80 bits carried from two and
// three bytes back catch missing or surplus continuation bytes of 3- and 4-byte characters.
constexpr unsigned char kTooShort = 1 << 0, kTooLong = 1 << 1, kOverlong3 = 1 << 2,
                        kTooLarge = 1 << 3, kSurrogate = 1 << 4, kOverlong2 = 1 << 5,
                        kTooLarge1000 = 1 << 6, kOverlong4 = 1 << 6, kTwoConts = 1 << 7,
                        kCarry = kTooShort | kTooLong | kTwoConts;
alignas(16) constexpr unsigned char kByte1High[16] = {
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
alignas(16) constexpr unsigned char kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
alignas(16) constexpr unsigned char kByte2High[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort};
// A block whose last bytes exceed these ends inside a character.
alignas(32) constexpr unsigned char kTailLimit[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

__attribute__((target("avx2"))) __m256i table(const unsigned char* t) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// Returns where the well-formed, complete characters from p on end, 32-byte blocks at a time, and
// adds the continuation bytes among them to `continuation`.
__attribute__((target("avx2"))) const unsigned char* skip_valid_avx2(const unsigned char* p,
                                                                     const unsigned char* end,
                                                                     std::size_t& continuation) {
  const __m256i byte1_high = table(kByte1High), byte1_low = table(kByte1Low);
  const __m256i byte2_high = table(kByte2High), nibble = _mm256_set1_epi8(0x0F);
  const __m256i tail_limit = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTailLimit));
  const unsigned char* const start = p;
  __m256i prev = _mm256_setzero_si256(), prev_unfinished = _mm256_setzero_si256();
  for (; end - p >= 32; p += 32) {
    // Runs of plain ASCII are passed over 128 bytes at a time.
    while (end - p >= 128 && _mm256_testz_si256(prev_unfinished, prev_unfinished) && ascii_128(p)) {
      prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 96));
      p += 128;
    }
    if (end - p < 32) break;
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i error = prev_unfinished;
    if (_mm256_movemask_epi8(in) != 0) {
      const __m256i carried = _mm256_permute2x128_si256(prev, in, 0x21);
      const __m256i prev1 = _mm256_alignr_epi8(in, carried, 15);
      const __m256i prev2 = _mm256_alignr_epi8(in, carried, 14);
      const __m256i prev3 = _mm256_alignr_epi8(in, carried, 13);
      const __m256i pair_errors = _mm256_and_si256(
          _mm256_and_si256(_mm256_shuffle_epi8(
                               byte1_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
                           _mm256_shuffle_epi8(byte1_low, _mm256_and_si256(prev1, nibble))),
          _mm256_shuffle_epi8(byte2_high, _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble)));
      const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(0xE0 - 0x80));
      const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(0xF0 - 0x80));
      const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                                     _mm256_set1_epi8(static_cast<char>(0x80)));
      error = _mm256_xor_si256(must_continue, pair_errors);
    }
    if (!_mm256_testz_si256(error, error)) {
      // With nothing unfinished before the block, its bytes up to the first non-ASCII one are
      // whole characters: the scalar check that follows starts at that byte, not at the block.
      if (_mm256_testz_si256(prev_unfinished, prev_unfinished))
        return p + std::countr_zero(static_cast<unsigned>(_mm256_movemask_epi8(in)));
      break;
    }
    continuation += static_cast<std::size_t>(
        std::popcount(static_cast<unsigned>(_mm256_movemask_epi8(continuation_lanes(in)))));
    prev = in;
    prev_unfinished = _mm256_subs_epu8(in, tail_limit);
  }
  // A character that starts in the last checked block may be broken by the next one: its lead
  // byte and the continuation bytes behind it are handed back.
  for (int back = 1; back <= 3 && p - back >= start; ++back) {
    const unsigned b = p[-back];
    if (b < 0x80) break;
    if (b >= 0xC0) {
      if ((b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2) > back) {
        p -= back;
        continuation -= static_cast<std::size_t>(back - 1);
      }
      break;
    }
  }
  return p;
}

using SkipValid = const unsigned char* (*)(const unsigned char*, const unsigned char*,
                                           std::size_t&);

SkipValid vector_skip_valid() {
  return has_avx2() ? skip_valid_avx2 : nullptr;
}

#else

using SkipValid = const unsigned char* (*)(const unsigned char*, const unsigned char*,
                                           std::size_t&);

SkipValid vector_skip_valid() {
  return nullptr;
}

#endif

// Where the well-formed UTF-8 starting at p ends: at `end`, at a malformed byte, or at an
// unfinished trailing character. The continuation bytes before that point are added to
// `continuation`.
const unsigned char* scan_valid(const unsigned char* p, const unsigned char* end,
                                std::size_t& continuation) {
  static const SkipValid skip_valid = vector_skip_valid();
  while (p < end) {
    const unsigned char* limit = end;
    if (skip_valid != nullptr) {
      // The vector loop stops short of anything wrong; what it leaves, the scalar loop takes
      // on for a while before handing back, so that bad input does not bounce between the two.
      p = skip_valid(p, end, continuation);
      limit = p + std::min<ptrdiff_t>(end - p, 64);
    }
    // Well-formed characters are recognised without classify_utf8, which only sorts out what
    // is wrong. Bounds tests below are sufficient: the low six bits of the last trail byte
    // never move a code point across any of the limits.
    while (p < limit) {
      const unsigned b0 = *p;
      const ptrdiff_t left = end - p;
      if (b0 < 0x80) {
        p = skip_ascii(p, end);
        continue;
      }
      if (b0 >= 0xC2 && b0 < 0xE0 && left >= 2 && is_trail(p[1])) {
        p += 2;
        continuation += 1;
        continue;
      }
      if (b0 >= 0xE0 && b0 < 0xF0 && left >= 3 && is_trail(p[1]) && is_trail(p[2])) {
        const unsigned c = ((b0 & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6);
        if (c >= 0x800 && (c & 0xF800) != 0xD800) {
          p += 3;
          continuation += 2;
          continue;
        }
      }
      if (b0 >= 0xF0 && b0 < 0xF5 && left >= 4 && is_trail(p[1]) && is_trail(p[2]) &&
          is_trail(p[3])) {
        const unsigned c = ((b0 & 0x07) << 18) | ((p[1] & 0x3Fu) << 12);
        if (c >= 0x10000 && c <= 0x10FFFF) {
          p += 4;
          continuation += 3;
          continue;
        }
      }
      return p;
    }
  }
  return end;
}

// Writes into a string grown ahead of the writer, so that short runs and replacements are stored
// without the string's own bookkeeping for each; the string is cut to what was written at the end.
class Appender {
 public:
  // All the capacity the caller reserved is room: replacements are longer than the bytes they stand
  // for, and growing past the capacity would copy everything written so far into a string twice
  // the size.
  Appender(std::string& out, std::size_t expected) : out_(out), used_(out.size()) {
    out_.resize(std::max(used_ + expected + kSlack, out_.capacity()));
  }
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;
  ~Appender() { out_.resize(used_); }

  // Room for n more bytes at the returned place.
  char* room(std::size_t n) {
    if (out_.size() - used_ < n) out_.resize(std::max(used_ + n + kSlack, out_.size() * 3 / 2));
    return out_.data() + used_;
  }
  void wrote(std::size_t n) { used_ += n; }
  void put(const void* bytes, std::size_t n) {
    std::memcpy(room(n), bytes, n);
    used_ += n;
  }

 private:
  static constexpr std::size_t kSlack = 64;
  std::string& out_;
  std::size_t used_;
};

// The continuation bytes of `text`, for counting the characters a repair writes as it goes.
std::size_t continuation_in(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) == 0x80; }));
}

using Repair = const unsigned char* (*)(const unsigned char*, const unsigned char*, Appender&,
                                        std::string_view, std::size_t&);

#if defined(__x86_64__) || defined(__i386__)

// Stray bytes in ASCII text (a Telnet peer's 0xFF, line noise) come one every few hundred bytes:
// the text is copied 32 bytes at a time while the next byte with its high bit set is looked for,
// and only a valid character there hands over to the full check. Stops with fewer than 32 bytes
// left or at an unfinished character; returns where it stopped. The continuation bytes written
// are added to `continuation`.
__attribute__((target("avx2"))) const unsigned char* repair_avx2(const unsigned char* p,
                                                                 const unsigned char* end,
                                                                 Appender& out,
                                                                 std::string_view replacement,
                                                                 std::size_t& continuation) {
  const std::size_t replacement_continuation = continuation_in(replacement);
  while (end - p >= 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.room(32)), block);
    const auto high = static_cast<unsigned>(_mm256_movemask_epi8(block));
    if (high == 0) {
      p += 32;
      out.wrote(32);
      continue;
    }
    const int ascii = std::countr_zero(high);
    p += ascii;
    out.wrote(static_cast<std::size_t>(ascii));
    const int n = classify_utf8(p, end);
    if (n == 0) return p;
    if (n < 0) {
      out.put(replacement.data(), replacement.size());
      continuation += replacement_continuation;
      p -= n;
      continue;
    }
    const unsigned char* stop = scan_valid(p, end, continuation);
    out.put(p, static_cast<std::size_t>(stop - p));
    p = stop;
  }
  return p;
}

Repair vector_repair() {
  return has_avx2() ? repair_avx2 : nullptr;
}

#else

Repair vector_repair() {
  return nullptr;
}

#endif

// Appends [p, end) to `out` with each maximal invalid subsequence replaced by `replacement`, and
// the continuation bytes it wrote to `continuation`. Returns where an unfinished trailing
// character starts (end when there is none).
const unsigned char* append_utf8(const unsigned char* p, const unsigned char* end, std::string& out,
                                 std::string_view replacement, std::size_t& continuation) {
  static const Repair repair = vector_repair();
  const std::size_t replacement_continuation = continuation_in(replacement);
  const unsigned char* bad = scan_valid(p, end, continuation);
  out.append(reinterpret_cast<const char*>(p), bad - p);
  p = bad;
  if (repair != nullptr && p != end) {
    Appender writer(out, static_cast<std::size_t>(end - p));
    p = repair(p, end, writer, replacement, continuation);
  }
  for (;;) {
    bad = scan_valid(p, end, continuation);
    out.append(reinterpret_cast<const char*>(p), bad - p);
    if (bad == end) return end;
    const int n = classify_utf8(bad, end);
    if (n == 0) return bad;
    out.append(replacement);
    continuation += replacement_continuation;
    p = bad - n;
  }
}

const unsigned char* append_utf8(const unsigned char* p, const unsigned char* end, std::string& out,
                                 std::string_view replacement) {
  std::size_t uncounted = 0;
  return append_utf8(p, end, out, replacement, uncounted);
}

void append_code_point(char32_t c, std::string& out) {
  char buf[4];
  size_t n;
  if (c < 0x80) {
    buf[0] = static_cast<char>(c);
    n = 1;
  } else if (c < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (c >> 6));
    buf[1] = static_cast<char>(0x80 | (c & 0x3F));
    n = 2;
  } else if (c < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (c >> 12));
    buf[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (c & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (c >> 18));
    buf[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (c & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

class Utf8Decoder final : public Decoder {
 public:
  using Decoder::decode;

  void decode(std::string_view bytes, std::string& out) override {
    if (bytes.empty()) return;
    auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    auto* const end = p + bytes.size();
    if (held_ > 0) {
      // Complete (or refute) the held character first, then carry on in the new bytes.
      std::array<unsigned char, 4> seq = pending_;
      const size_t take = std::min<size_t>(seq.size() - held_, end - p);
      std::memcpy(seq.data() + held_, p, take);
      const int n = classify_utf8(seq.data(), seq.data() + held_ + take);
      if (n == 0) {
        pending_ = seq;
        held_ += take;
        return;
      }
      if (n > 0) {
        out.append(reinterpret_cast<const char*>(seq.data()), n);
      } else {
        out.append(kReplacement);
      }
      p += std::abs(n) - static_cast<int>(held_);  // the held bytes were a valid prefix
      held_ = 0;
    }
    hold(append_utf8(p, end, out, kReplacement), end);
  }

  std::string decode_owned(std::string& bytes, CharCount& chars) override {
    // Well-formed input, the common case, is already the text.
    return decode_counted(bytes, chars, [&bytes](size_t valid) {
      bytes.resize(valid);
      return std::move(bytes);
    });
  }

  std::string decode_lent(std::string_view bytes, CharCount& chars) override {
    return decode_counted(bytes, chars,
                          [bytes](size_t valid) { return std::string(bytes.substr(0, valid)); });
  }

  void finish(std::string& out) override {
    if (held_ > 0) out.append(kReplacement);
    held_ = 0;
  }

 private:
  // The text of `bytes`, its characters counted on the way. `whole(valid)` makes the text when the
  // first `valid` bytes are all of it: input that only ends inside a character, as a read of
  // Chinese text often does, once that character's bytes are held.
  template <class Whole>
  std::string decode_counted(std::string_view bytes, CharCount& chars, Whole whole) {
    if (held_ > 0) {
      std::string out = with_room(bytes.size());
      decode(bytes, out);
      chars = count_chars(out);
      return out;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    std::size_t continuation = 0;
    const unsigned char* stop = scan_valid(p, end, continuation);
    const auto valid = static_cast<size_t>(stop - p);
    chars = CharCount{valid - continuation};
    if (stop == end || classify_utf8(stop, end) == 0) {
      hold(stop, end);
      return whole(valid);
    }
    std::string out = with_room(bytes.size());
    out.append(reinterpret_cast<const char*>(p), valid);
    std::size_t repaired_continuation = 0;
    hold(append_utf8(stop, end, out, kReplacement, repaired_continuation), end);
    chars += CharCount{out.size() - valid - repaired_continuation};
    return out;
  }

  // Room for the text of `n` bytes and a few replacements, each of which may be longer than its
  // bytes.
  static std::string with_room(size_t n) {
    std::string out;
    out.reserve(n + n / 8 + 16);
    return out;
  }

  // Keeps [rest, end), the start of a character, for the next call.
  void hold(const unsigned char* rest, const unsigned char* end) {
    held_ = static_cast<size_t>(end - rest);
    std::copy(rest, end, pending_.begin());
  }

  std::array<unsigned char, 4> pending_{};
  size_t held_ = 0;
};

std::string encode_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  auto* const end = begin + text.size();
  if (append_utf8(begin, end, out, "?") != end) out.push_back('?');
  return out;
}

// ---- ICU ------------------------------------------------------------------------------------

[[noreturn]] void throw_icu(const char* what, UErrorCode err) {
  throw std::runtime_error(std::string("ICU ") + what + ": " + u_errorName(err));
}

// ICU's own substitution callbacks write U+001A for one bad byte in some tables and skip
// default-ignorable characters when encoding; we want U+FFFD and "?" every time.
void to_unicode_replace(const void* context, UConverterToUnicodeArgs* args, const char* units,
                        int32_t length, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
  const auto& codec = *static_cast<const Codec*>(context);
  std::array<UChar, 4> text;
  int32_t n = 0;
  text[n++] = 0xFFFD;
  // ICU takes a lead byte and an ASCII byte after it for one unassigned character; Python reads
  // the ASCII byte as itself, and so do we, so that a stray lead byte cannot eat a "|" or a digit.
  if (length > 1 && length <= static_cast<int32_t>(text.size()) &&
      std::all_of(units + 1, units + length, [](char c) { return (c & 0x80) == 0; })) {
    for (int32_t i = 1; i < length; ++i) {
      const auto u = static_cast<char16_t>(units[i]);
      text[n++] = (codec.flags & kPcControls) != 0 ? permute_to_icu(u) : u;
    }
  }
  *err = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, text.data(), n, 0, err);
}

void from_unicode_question(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t,
                           UChar32, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;
  *err = U_ZERO_ERROR;
  ucnv_cbFromUWriteBytes(args, "?", 1, 0, err);
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(const Codec& codec) {
  UErrorCode err = U_ZERO_ERROR;
  Converter cnv(ucnv_open(codec.icu, &err));
  if (U_FAILURE(err)) throw_icu((std::string("cannot open ") + codec.icu).c_str(), err);
  ucnv_setToUCallBack(cnv.get(), to_unicode_replace, &codec, nullptr, nullptr, &err);
  ucnv_setFromUCallBack(cnv.get(), from_unicode_question, nullptr, nullptr, nullptr, &err);
  if (U_FAILURE(err)) throw_icu("set callback", err);
  return cnv;
}

// ICU takes int32_t lengths; bigger inputs go in slices.
constexpr size_t kMaxSlice = size_t{1} << 30;

class IcuDecoder final : public Decoder {
 public:
  using Decoder::decode;

  explicit IcuDecoder(const Codec& codec) : cnv_(open_converter(codec)), flags_(codec.flags) {}

  void decode(std::string_view bytes, std::string& out) override {
    do {
      const std::string_view slice = bytes.substr(0, kMaxSlice);
      convert(slice, false, out);
      bytes.remove_prefix(slice.size());
    } while (!bytes.empty());
  }

  void finish(std::string& out) override {
    convert({}, true, out);
    if (lead_ != 0) out.append(kReplacement);
    lead_ = 0;
  }

 private:
  void convert(std::string_view bytes, bool flush, std::string& out) {
    static const char kNothing = 0;
    const char* src = bytes.empty() ? &kNothing : bytes.data();
    const char* const src_end = src + bytes.size();
    UErrorCode err;
    do {
      err = U_ZERO_ERROR;
      UChar* target = units_.data();
      ucnv_toUnicode(cnv_.get(), &target, units_.data() + units_.size(), &src, src_end, nullptr,
                     flush, &err);
      append_units(units_.data(), target, out);
    } while (err == U_BUFFER_OVERFLOW_ERROR);
    if (U_FAILURE(err)) throw_icu("toUnicode", err);
  }

  // A surrogate pair may straddle two buffers, so a lead surrogate waits in lead_.
  void append_units(const UChar* s, const UChar* e, std::string& out) {
    for (; s < e; ++s) {
      const char16_t u = *s;
      if (lead_ != 0) {
        const char16_t lead = std::exchange(lead_, 0);
        if (u >= 0xDC00 && u < 0xE000) {
          append_code_point(0x10000 + ((char32_t{lead} - 0xD800) << 10) + (u - 0xDC00), out);
          continue;
        }
        out.append(kReplacement);
      }
      if (u >= 0xD800 && u < 0xDC00) {
        lead_ = u;
      } else if ((u >= 0xDC00 && u < 0xE000) || ((flags_ & kNoC1) != 0 && u >= 0x80 && u < 0xA0)) {
        out.append(kReplacement);
      } else {
        append_code_point((flags_ & kPcControls) != 0 ? permute_from_icu(u) : u, out);
      }
    }
  }

  Converter cnv_;
  unsigned char flags_;
  char16_t lead_ = 0;
  std::array<UChar, 2048> units_;
};

// UTF-16 for ICU. What must come out as "?" is turned into '?' here already: every table we use
// encodes it as 0x3F.
std::u16string to_utf16(std::string_view text, unsigned char flags) {
  std::u16string units;
  units.reserve(text.size());
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto* const end = p + text.size();
  while (p < end) {
    const int n = classify_utf8(p, end);
    if (n <= 0) {
      units.push_back(u'?');
      p += n < 0 ? -n : end - p;
      continue;
    }
    char32_t c = n == 1 ? *p : *p & (0x7F >> n);
    for (int i = 1; i < n; ++i) c = (c << 6) | (p[i] & 0x3F);
    p += n;
    if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      const auto u = static_cast<char16_t>(c);
      if ((flags & kNoC1) != 0 && u >= 0x80 && u < 0xA0) {
        units.push_back(u'?');
      } else {
        units.push_back((flags & kPcControls) != 0 ? permute_to_icu(u) : u);
      }
    }
  }
  return units;
}

std::string encode_icu(const Codec& codec, std::string_view text) {
  const Converter cnv = open_converter(codec);
  const std::u16string units = to_utf16(text, codec.flags);
  std::string out;
  std::array<char, 4096> buf;
  const UChar* src = units.data();
  const UChar* const src_end = src + units.size();
  do {
    const UChar* const slice_end = src + std::min<size_t>(src_end - src, kMaxSlice);
    UErrorCode err;
    do {
      err = U_ZERO_ERROR;
      char* target = buf.data();
      ucnv_fromUnicode(cnv.get(), &target, buf.data() + buf.size(), &src, slice_end, nullptr,
                       slice_end == src_end, &err);
      out.append(buf.data(), target);
    } while (err == U_BUFFER_OVERFLOW_ERROR);
    if (U_FAILURE(err)) throw_icu("fromUnicode", err);
  } while (src < src_end);
  return out;
}

}  // namespace

UnknownEncoding::UnknownEncoding(std::string_view name)
    : std::invalid_argument("unknown encoding \"" + std::string(name) + "\"") {}

bool is_known_encoding(std::string_view name) noexcept {
  return codec_names::find(name) != nullptr;
}

std::string Decoder::decode_owned(std::string& bytes, CharCount& chars) {
  return decode_lent(bytes, chars);
}

std::string Decoder::decode_lent(std::string_view bytes, CharCount& chars) {
  std::string text = decode(bytes);
  chars = count_chars(text);
  return text;
}

std::unique_ptr<Decoder> Decoder::create(std::string_view name) {
  const Codec& codec = codec_for(name);
  if (codec.icu == nullptr) return std::make_unique<Utf8Decoder>();
  return std::make_unique<IcuDecoder>(codec);
}

std::string decode_whole(std::string_view name, std::string_view bytes) {
  const std::unique_ptr<Decoder> decoder = Decoder::create(name);
  std::string out;
  out.reserve(bytes.size());
  decoder->decode(bytes, out);
  decoder->finish(out);
  return out;
}

std::string encode(std::string_view name, std::string_view text) {
  const Codec& codec = codec_for(name);
  if (codec.icu == nullptr) return encode_utf8(text);
  return encode_icu(codec, text);
}

}  // namespace veltaro::common
