#include "common/codec_names.h"

#include <array>
#include <cstddef>

namespace veltaro::common::codec_names {

namespace {

// The ICU tables were picked by comparing every one- and two-byte sequence (three for EUC-JP,
// four for GB18030) and every code point with Python 3.11's codecs; the notes say what is left.
// Across the board ICU decodes a lead byte followed by a non-ASCII byte that completes no
// character as one U+FFFD, where Python gives one U+FFFD per byte, and ICU decodes user-defined
// areas to private-use characters, which Python refuses.
constexpr Codec kCodecs[] = {
    {nullptr, kNone, "utf_8 utf8 u8 utf cp65001 utf8_ucs2 utf8_ucs4"},
    // Every ICU Big5 table with controls in place is Microsoft's; Python's big5 and cp950 differ
    // from it in about 250 cells (ETEN kana and Cyrillic rows, a few symbols).
    {"windows-950-2000", kNoC1, "big5 big5_tw csbig5"},
    {"windows-950-2000", kNoC1, "cp950 950 ms950"},
    // HKSCS-2008. Python maps 47 cells to Unicode 4.1 characters (or base + combining mark pairs)
    // where ICU uses private-use code points.
    {"ibm-1375_P100-2008", kNoC1, "big5hkscs big5_hkscs hkscs"},
    // Identical to Python's gbk but for 0x80 (the euro sign) and 0xFF (U+F8F5), as in Windows.
    {"windows-936-2000", kNoC1, "gbk 936 cp936 ms936"},
    // Plain EUC-CN, as Python's gb2312; windows-936 would silently accept GBK.
    {"ibm-1383_P110-1999", kNoC1,
     "gb2312 chinese csiso58gb231280 euc_cn euccn eucgb2312_cn gb2312_1980 gb2312_80 iso_ir_58"},
    // ICU 72 has the 2005 mapping: A8BC is U+1E3F, where Python's 2000 mapping has U+E7C7.
    {"gb18030", kNone, "gb18030 gb18030_2000"},
    // ICU's only Shift_JIS table that keeps 0x5C a backslash is Windows-31J, so shift_jis also
    // accepts the NEC/IBM rows and decodes six cells the Windows way (0x8160 as U+FF5E).
    {"ibm-943_P15A-2003", kPcControls | kNoC1, "shift_jis csshiftjis s_jis shiftjis sjis"},
    // Python's cp932 decodes 0x80, 0xA0 and 0xFD-0xFF (to U+0080 and private use); ICU refuses.
    {"ibm-943_P15A-2003", kPcControls, "cp932 932 ms932 ms_kanji mskanji"},
    // With JIS X 0212, like Python; euc-jp-2007 would turn U+301C into U+FF5E and lose U+00A2.
    // Differs from Python in five cells (0xA1BD U+2014, fullwidth cent, pound and not sign).
    {"ibm-954_P101-2007", kNoC1, "euc_jp eucjp u_jis ujis"},
    // Python also reads and writes the eight-byte KS X 1001 syllable make-up sequences; ICU
    // writes "?" for syllables outside KS X 1001 and leaves the euro and registered sign out.
    {"ibm-970_P110_P110-2006_U2", kNoC1,
     "euc_kr euckr korean ks_c_5601 ks_c_5601_1987 ks_x_1001 ksc5601 ksx1001"},
    {"windows-949-2000", kNoC1, "cp949 949 ms949 uhc"},
    {"ISO-8859-1", kNone,
     "latin_1 8859 cp819 csisolatin1 ibm819 iso8859 iso8859_1 iso_8859_1 iso_8859_1_1987 "
     "iso_ir_100 l1 latin latin1"},
    {"US-ASCII", kNone,
     "ascii 646 ansi_x3.4_1968 ansi_x3.4_1986 ansi_x3_4_1968 cp367 csascii ibm367 iso646_us "
     "iso_646.irv_1991 iso_ir_6 us us_ascii"},
    // 0xE6 is U+03BC (Greek mu), Python says U+00B5 (micro sign).
    {"ibm-437_P100-1995", kPcControls | kNoC1, "cp437 437 cspc8codepage437 ibm437"},
    {"ibm-878_P100-1996", kNoC1, "koi8_r cskoi8r"},
    {"ibm-1168_P100-2002", kNoC1, "koi8_u"},
    {"ibm-912_P100-1995", kNone,
     "iso8859_2 csisolatin2 iso_8859_2 iso_8859_2_1987 iso_ir_101 l2 latin2"},
    {"ibm-913_P100-2000", kNone,
     "iso8859_3 csisolatin3 iso_8859_3 iso_8859_3_1988 iso_ir_109 l3 latin3"},
    {"ibm-914_P100-1995", kNone,
     "iso8859_4 csisolatin4 iso_8859_4 iso_8859_4_1988 iso_ir_110 l4 latin4"},
    {"ibm-915_P100-1995", kNone,
     "iso8859_5 csisolatincyrillic cyrillic iso_8859_5 iso_8859_5_1988 iso_ir_144"},
    {"ibm-1089_P100-1995", kNone,
     "iso8859_6 arabic asmo_708 csisolatinarabic ecma_114 iso_8859_6 iso_8859_6_1987 iso_ir_127"},
    // The 2003 edition with the euro sign, as Python; ibm-813 is the 1987 one.
    {"ibm-9005_X110-2007", kNone,
     "iso8859_7 csisolatingreek ecma_118 elot_928 greek greek8 iso_8859_7 iso_8859_7_1987 "
     "iso_ir_126"},
    {"ibm-5012_P100-1999", kNone,
     "iso8859_8 csisolatinhebrew hebrew iso_8859_8 iso_8859_8_1988 iso_ir_138"},
    {"ibm-920_P100-1995", kNone,
     "iso8859_9 csisolatin5 iso_8859_9 iso_8859_9_1989 iso_ir_148 l5 latin5"},
    {"iso-8859_10-1998", kNone,
     "iso8859_10 csisolatin6 iso_8859_10 iso_8859_10_1992 iso_ir_157 l6 latin6"},
    {"iso-8859_11-2001", kNone, "iso8859_11 iso_8859_11 iso_8859_11_2001 thai"},
    {"ibm-921_P100-1995", kNone, "iso8859_13 iso_8859_13 l7 latin7"},
    {"iso-8859_14-1998", kNone,
     "iso8859_14 iso_8859_14 iso_8859_14_1998 iso_celtic iso_ir_199 l8 latin8"},
    {"ibm-923_P100-1998", kNone, "iso8859_15 iso_8859_15 l9 latin9"},
    // The ibm-125x tables predate the euro sign; these are the later Windows editions.
    {"ibm-5346_P100-1998", kNoC1, "cp1250 1250 windows_1250"},
    {"ibm-5347_P100-1998", kNoC1, "cp1251 1251 windows_1251"},
    {"ibm-5348_P100-1997", kNoC1, "cp1252 1252 windows_1252"},
    {"ibm-5349_P100-1998", kNoC1, "cp1253 1253 windows_1253"},
    {"ibm-5350_P100-1998", kNoC1, "cp1254 1254 windows_1254"},
    {"ibm-9447_P100-2002", kNoC1, "cp1255 1255 windows_1255"},
    {"ibm-9448_X100-2005", kNoC1, "cp1256 1256 windows_1256"},
    {"ibm-9449_P100-2002", kNoC1, "cp1257 1257 windows_1257"},
    {"ibm-5354_P100-1998", kNoC1, "cp1258 1258 windows_1258"},
};

bool is_separator(char c) {
  return c == '-' || c == '_' || c == ' ';
}

}  // namespace

const Codec* find(std::string_view name) noexcept {
  // Python folds case and turns a run of separators into one '_', dropping them at either end.
  std::array<char, 32> buf;
  size_t len = 0;
  bool gap = false;
  for (char c : name) {
    if (is_separator(c)) {
      gap = len > 0;
      continue;
    }
    if (len + (gap ? 2 : 1) > buf.size()) return nullptr;  // longer than any name we know
    if (gap) buf[len++] = '_';
    gap = false;
    buf[len++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view key(buf.data(), len);
  if (key.empty()) return nullptr;
  for (const Codec& codec : kCodecs) {
    std::string_view names = codec.names;
    while (!names.empty()) {
      const size_t space = names.find(' ');
      if (names.substr(0, space) == key) return &codec;
      names.remove_prefix(space == std::string_view::npos ? names.size() : space + 1);
    }
  }
  return nullptr;
}

std::span<const Codec> all() noexcept {
  return kCodecs;
}

}  // namespace veltaro::common::codec_names
