#include "common/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/codec_names.h"

namespace veltaro::common {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

// Written apart from the codec so that a fault there cannot hide itself here.
bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80                ? 1
                     : b >= 0xC2 && b < 0xE0 ? 2
                     : b >= 0xE0 && b < 0xF0 ? 3
                     : b >= 0xF0 && b < 0xF5 ? 4
                                             : 0;
    if (n == 0 || i + n > s.size()) return false;
    char32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    i += n;
  }
  return true;
}

std::string decode_in_pieces(std::string_view name, const std::vector<std::string>& pieces) {
  const auto decoder = Decoder::create(name);
  std::string out;
  for (const auto& piece : pieces) decoder->decode(piece, out);
  return out;
}

TEST(CodecNames, SpellingsUsersTypeAreKnown) {
  for (const char* name :
       {"utf-8",        "UTF8",   "utf_8",   " utf 8 ",      "Utf--8",     "big5",
        "Big5-TW",      "cp950",  "MS950",   "big5hkscs",    "BIG5-HKSCS", "gbk",
        "cp936",        "gb2312", "GB18030", "shift_jis",    "SJIS",       "Shift-JIS",
        "cp932",        "ms932",  "euc-jp",  "eucjp",        "euc_jp",     "EUC-KR",
        "euckr",        "cp949",  "uhc",     "latin-1",      "Latin1",     "iso-8859-1",
        "iso8859-1",    "L1",     "cp1252",  "windows-1252", "cp437",      "IBM437",
        "koi8-r",       "KOI8-U", "ascii",   "US-ASCII",     "iso-8859-2", "iso8859-15",
        "windows-1250", "cp1258"}) {
    EXPECT_TRUE(is_known_encoding(name)) << name;
  }
}

TEST(CodecNames, UnknownNamesAreRefusedByName) {
  for (const std::string& name :
       std::vector<std::string>{"", "-", "utf-16", "iso-8859-16", "iso-8859-12", "utf/8",
                                "x-mac-japanese", "klingon", std::string(300, 'a')}) {
    EXPECT_FALSE(is_known_encoding(name)) << name;
    for (const auto& call : std::vector<std::function<void()>>{[&] { Decoder::create(name); },
                                                               [&] { encode(name, "x"); },
                                                               [&] { decode_whole(name, "x"); }}) {
      try {
        call();
        ADD_FAILURE() << "accepted " << name;
      } catch (const UnknownEncoding& e) {
        EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
      }
    }
  }
}

// Opens every converter in the table, so a misspelt ICU name fails here; ASCII must come through
// untouched both ways, which also holds the tables that move SUB, FS and DEL to account.
TEST(CodecNames, EveryTableEntryOpensOwnsItsNamesAndKeepsAscii) {
  std::string ascii;
  for (int c = 0; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
  for (const auto& codec : codec_names::all()) {
    std::string_view names = codec.names;
    const std::string first(names.substr(0, names.find(' ')));
    while (!names.empty()) {
      const auto name = names.substr(0, names.find(' '));
      EXPECT_EQ(codec_names::find(name), &codec) << name << " belongs to an earlier entry";
      names.remove_prefix(std::min(names.size(), name.size() + 1));
    }
    EXPECT_EQ(Decoder::create(first)->decode(ascii), ascii) << first;
    EXPECT_EQ(encode(first, ascii), ascii) << first;
  }
}

TEST(CodecUtf8, MalformedInputIsReplacedAsPythonDoes) {
  const std::string smiley = "\xF0\x9F\x98\x80";
  const struct {
    std::vector<std::string> pieces;
    std::string expected;
  } cases[] = {
      {{"\xE4\xB8", "A"}, kFffd + "A"},
      {{"\xFF\xFE"}, kFffd + kFffd},
      {{"\xF0\x9F\x98", "\x80"}, smiley},
      {{"\xF0", "\x9F", "", "\x98", "\x80!"}, smiley + "!"},
      {{"\xED\xA0\x80"}, kFffd + kFffd + kFffd},              // an encoded surrogate
      {{"\xC0\xAF"}, kFffd + kFffd},                          // overlong
      {{"\xF4\x90\x80\x80"}, kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {{"\xE1\x80", "\xE1\x80\x80"}, kFffd + "\xE1\x80\x80"},
      {{"a\x80", "b"}, "a" + kFffd + "b"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_in_pieces("utf-8", c.pieces), c.expected);
  EXPECT_EQ(decode_whole("utf-8", "a\xF0\x9F\x98"), "a" + kFffd);
}

// The end of a stream shows what it cut short, and what comes after starts afresh.
TEST(CodecFinish, HeldBytesBecomeOneReplacementAndDoNotJoinLaterOnes) {
  const struct {
    const char* name;
    std::string cut, whole, text;
  } cases[] = {{"utf-8", "\xE4\xB8", "\xE4\xB8\xAD", "\xE4\xB8\xAD"},
               {"big5", "\xA4", "\xA4\xA4", "\xE4\xB8\xAD"}};
  for (const auto& c : cases) {
    const auto decoder = Decoder::create(c.name);
    std::string out = decoder->decode("a" + c.cut);
    decoder->finish(out);
    out += decoder->decode(c.whole);
    decoder->finish(out);
    EXPECT_EQ(out, "a" + kFffd + c.text) << c.name;
  }
}

// Long valid text takes the vector paths; a fault put at every offset crosses all their block
// edges, in text dense with multi-byte characters and in long ASCII runs around a few of them.
// Text after a first fault is searched another way, so each case is also checked behind one.
TEST(CodecUtf8, FaultsAnywhereInLongTextAreFoundAndOnlyThem) {
  std::string dense;
  while (dense.size() < 200) dense += "ab\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80 ";
  const std::string sparse = std::string(150, 'x') + "\xE4\xB8\xAD" + std::string(140, 'y') +
                             "\xC3\xA9" + std::string(170, 'z');
  const std::pair<std::string, std::string> faults[] = {
      {"\xFF", kFffd}, {"\xE4\xB8", kFffd}, {"\xED\xA0\x80", kFffd + kFffd + kFffd}};
  // A character cut off by the end of a piece after a fault, at every distance from the fault.
  for (const std::string ch : {"\xE4\xB8\xAD", "\xF0\x9F\x98\x80"}) {
    for (size_t run = 0; run < 70; ++run) {
      for (size_t cut = 1; cut < ch.size(); ++cut) {
        const std::string head = "\xFF" + std::string(run, 'a');
        ASSERT_EQ(decode_in_pieces("utf-8", {head + ch.substr(0, cut), ch.substr(cut) + "b"}),
                  kFffd + std::string(run, 'a') + ch + "b")
            << "run " << run << " cut " << cut;
      }
    }
  }
  for (const std::string& text : {dense, sparse}) {
    EXPECT_EQ(decode_whole("utf-8", text), text);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      ASSERT_EQ(decode_in_pieces("utf-8", {"\x80" + text.substr(0, cut), text.substr(cut)}),
                kFffd + text)
          << "cut at " << cut;
    }
    for (size_t at = 0; at <= text.size(); ++at) {
      if (at < text.size() && (text[at] & 0xC0) == 0x80) continue;  // inside a character
      for (const auto& [bad, replaced] : faults) {
        const std::string input = text.substr(0, at) + bad + text.substr(at);
        const std::string expected = text.substr(0, at) + replaced + text.substr(at);
        ASSERT_EQ(decode_whole("utf-8", input), expected) << "fault at " << at;
        ASSERT_EQ(decode_whole("utf-8", "\x80" + input), kFffd + expected) << "fault at " << at;
      }
    }
  }
}

// `bytes` cut into pieces shorter than `limit` (empty ones too), then a line end that lets the
// decoder give up any character the last piece left unfinished.
std::vector<std::string> random_pieces(const std::string& bytes, size_t limit, std::mt19937& rng) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = std::min<size_t>(rng() % limit, bytes.size() - at);
    pieces.push_back(bytes.substr(at, n));
    at += n;
  }
  pieces.push_back("\n");
  return pieces;
}

// Each maximal invalid subpart (a lead byte and the trail bytes that may follow it) is one U+FFFD,
// the rule Python and the Unicode standard follow; one character at a time.
std::string reference_utf8(std::string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    size_t trails = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (b < 0x80) {
      out += in[i++];
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) trails = 1;
    if (b >= 0xE0 && b <= 0xEF) trails = 2, lo = b == 0xE0 ? 0xA0 : lo, hi = b == 0xED ? 0x9F : hi;
    if (b >= 0xF0 && b <= 0xF4) trails = 3, lo = b == 0xF0 ? 0x90 : lo, hi = b == 0xF4 ? 0x8F : hi;
    size_t n = 1;
    for (; trails > 0 && n <= trails && i + n < in.size(); ++n, lo = 0x80, hi = 0xBF) {
      const auto t = static_cast<unsigned char>(in[i + n]);
      if (t < lo || t > hi) break;
    }
    out += trails > 0 && n == trails + 1 ? std::string(in.substr(i, n)) : kFffd;
    i += n;
  }
  return out;
}

// Mostly ASCII with runs long enough for the vector loops, stray bytes, whole and broken
// characters, in random pieces, through every way the decoder is fed.
TEST(CodecUtf8, RandomMixturesDecodeAsTheReferenceDoes) {
  std::mt19937 rng(20261210);
  const std::string characters[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xED\x9F\xBF"};
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    while (bytes.size() < rng() % 400) {
      switch (rng() % 4) {
        case 0:
          bytes += std::string(rng() % 80, static_cast<char>('a' + rng() % 26));
          break;
        case 1:
          bytes += static_cast<char>(0x80 + rng() % 0x80);
          break;
        case 2:
          bytes += characters[rng() % std::size(characters)];
          break;
        default: {
          const std::string& c = characters[rng() % std::size(characters)];
          bytes += c.substr(0, 1 + rng() % (c.size() - 1));
        }
      }
    }
    const std::vector<std::string> pieces = random_pieces(bytes, 120, rng);
    const std::string expected = reference_utf8(bytes + "\n");
    ASSERT_EQ(decode_in_pieces("utf-8", pieces), expected) << testing::PrintToString(bytes);
    const auto owning = Decoder::create("utf-8");
    const auto borrowing = Decoder::create("utf-8");
    std::string owned, lent;
    for (std::string piece : pieces) {
      CharCount chars;
      const std::string borrowed = borrowing->decode_lent(piece, chars);
      ASSERT_EQ(chars, count_chars(borrowed)) << testing::PrintToString(bytes);
      lent += borrowed;
      const std::string text = owning->decode_owned(piece, chars);
      // The count made on the way must be the text's, or a tab's buffer limit drifts.
      ASSERT_EQ(chars, count_chars(text)) << testing::PrintToString(bytes);
      owned += text;
    }
    ASSERT_EQ(owned, expected) << testing::PrintToString(bytes);
    ASSERT_EQ(lent, expected) << testing::PrintToString(bytes);
  }
}

TEST(CodecLegacy, SamplesMatchPythonBothWaysInAnyPieces) {
  const struct {
    const char* name;
    std::string bytes, text;
  } samples[] = {
      {"big5", "\xA4\xA4\xA4\xE5", "中文"},
      {"cp950", "\xA3\xE1\xA4\xA4", "€中"},
      {"big5hkscs", "\x9D\xEF", "嘅"},
      {"gbk", "\xD6\xD0\xCE\xC4", "中文"},
      {"gb2312", "\xD6\xD0\xCE\xC4", "中文"},
      {"gb18030", "\xD6\xD0\x94\x39\xFC\x36", "中😀"},
      {"shift_jis", "\x93\xFA\x96\x7B\xB1\\~", "日本ｱ\\~"},
      {"cp932", "\x87\x40", "①"},
      {"euc-jp", "\xC6\xFC\xCB\xDC\x8F\xB0\xA1\x8E\xB1", "日本丂ｱ"},
      {"euc-kr", "\xC7\xD1\xB1\xB9", "한국"},
      {"cp949", "\x81\x41", "갂"},
      {"latin-1", "\xE9", "é"},
      {"cp1252", "\x80", "€"},
      {"cp437", "\xB0", "░"},
      {"koi8-u", "\xBD", "Ґ"},
      {"iso-8859-7", "\xD9", "Ω"},
      {"iso-8859-11", "\xA1", "ก"},
      {"windows-1251", "\xC6", "Ж"},
      {"cp1258", "\xFE", "₫"},
  };
  for (const auto& s : samples) {
    EXPECT_EQ(decode_whole(s.name, s.bytes), s.text) << s.name;
    EXPECT_EQ(encode(s.name, s.text), s.bytes) << s.name;
    for (size_t cut = 1; cut < s.bytes.size(); ++cut) {
      EXPECT_EQ(decode_in_pieces(s.name, {s.bytes.substr(0, cut), s.bytes.substr(cut)}), s.text)
          << s.name << " cut at " << cut;
    }
  }
}

TEST(CodecLegacy, BadBytesBecomeReplacementsWithoutSwallowingAscii) {
  EXPECT_EQ(decode_whole("shift_jis", "\xEB|"), kFffd + "|");
  EXPECT_EQ(decode_whole("cp949", "\xFE\x56"), kFffd + "V");
  EXPECT_EQ(decode_whole("euc-kr",
                         "\x90"
                         "A"),
            kFffd + "A");  // not the C1 control U+0090
  EXPECT_EQ(decode_whole("cp1252", "\x81"), kFffd);
  EXPECT_EQ(decode_whole("big5", "\xA4"), kFffd);
  // Python's gb18030 gives a single U+FFFD here and loses "0A".
  EXPECT_EQ(decode_whole("gb18030",
                         "\x81\x30"
                         "A"),
            kFffd + "0A");
}

TEST(CodecEncode, EachUnencodableCharacterBecomesOneQuestionMark) {
  EXPECT_EQ(encode("latin-1", "a€😀b"), "a??b");
  EXPECT_EQ(encode("big5", "中😀"), "\xA4\xA4?");
  EXPECT_EQ(encode("shift_jis", "é\u00AD"), "??");  // ICU on its own would drop the soft hyphen
  EXPECT_EQ(encode("cp1252", "\u0081"), "?");
  EXPECT_EQ(encode("gb18030", "😀"), "\x94\x39\xFC\x36");
}

TEST(CodecEncode, MalformedTextBecomesQuestionMarks) {
  EXPECT_EQ(encode("utf-8",
                   "a\xFF"
                   "b\xE4\xB8"),
            "a?b?");
  EXPECT_EQ(encode("utf-8", "\xED\xA0\x80"), "???");
  EXPECT_EQ(encode("utf-8", "中😀\x7F"), "中😀\x7F");
  EXPECT_EQ(encode("big5", "\xFF中\xE4"), "?\xA4\xA4?");
}

// Random bytes cut anywhere must decode to valid UTF-8, and once a newline (which no codec here
// takes as part of a character) ends the input, pieces and whole must agree exactly.
TEST(CodecFuzz, RandomBytesInRandomPiecesAgreeWithWholeAndStayValid) {
  std::mt19937 rng(20240611);
  for (const auto& codec : codec_names::all()) {
    const std::string_view names = codec.names;
    const std::string name(names.substr(0, names.find(' ')));
    for (int round = 0; round < 200; ++round) {
      std::string bytes(rng() % 64, '\0');
      for (char& b : bytes)
        b = static_cast<char>(rng() % 3 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80);
      const std::string out = decode_in_pieces(name, random_pieces(bytes, 6, rng));
      ASSERT_TRUE(is_valid_utf8(out)) << name;
      ASSERT_EQ(out, decode_whole(name, bytes + "\n")) << name;
      ASSERT_NO_THROW(encode(name, bytes)) << name;
    }
  }
}

}  // namespace
}  // namespace veltaro::common
