#include "common/values.h"
#include "common/utf8.h"
#include "common/uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace veltaro::common {
namespace {

TEST(Values, TruthinessFollowsPython) {
  for (const Json& falsy : {Json(), Json(false), Json(0), Json(0.0), Json(""), Json::array(),
                            Json::object(), Json(0u)}) {
    EXPECT_FALSE(truthy(falsy)) << falsy.dump();
  }
  for (const Json& truthy_value : {Json(true), Json(-1), Json(0.5), Json(" "), Json("0"),
                                   Json::array({0}), Json{{"a", nullptr}}}) {
    EXPECT_TRUE(truthy(truthy_value)) << truthy_value.dump();
  }
}

TEST(Values, IntegerConversionAcceptsWhatPeopleType) {
  EXPECT_EQ(to_int(Json(true)), 1);
  EXPECT_EQ(to_int(Json(false)), 0);
  EXPECT_EQ(to_int(Json(2222)), 2222);
  EXPECT_EQ(to_int(Json(22.9)), 22);
  EXPECT_EQ(to_int(Json(-22.9)), -22);
  EXPECT_EQ(to_int(Json(" +22\n")), 22);
  EXPECT_EQ(to_int(Json("-7")), -7);
  EXPECT_EQ(to_int(Json("9223372036854775807")), 9223372036854775807LL);
  for (const Json& bad : {Json("22.0"), Json(""), Json(" "), Json("+"), Json("0x16"), Json("2 2"),
                          Json("99999999999999999999"), Json(), Json::array({1}), Json(1e300)}) {
    EXPECT_EQ(to_int(bad), std::nullopt) << bad.dump();
  }
}

TEST(Values, TextRenderingFollowsPython) {
  EXPECT_EQ(to_text(Json("h")), "h");
  EXPECT_EQ(to_text(Json(22)), "22");
  EXPECT_EQ(to_text(Json(22.0)), "22.0");
  EXPECT_EQ(to_text(Json(0.1)), "0.1");
  EXPECT_EQ(to_text(Json(-1.5)), "-1.5");
  EXPECT_EQ(to_text(Json(1e16)), "1e+16");
  EXPECT_EQ(to_text(Json(1234567890123456.0)), "1234567890123456.0");
  EXPECT_EQ(to_text(Json(0.0001)), "0.0001");
  EXPECT_EQ(to_text(Json(0.00001)), "1e-05");
  EXPECT_EQ(to_text(Json(1.5e-7)), "1.5e-07");
  EXPECT_EQ(to_text(Json(true)), "True");
  EXPECT_EQ(to_text(Json(false)), "False");
  EXPECT_EQ(to_text(Json()), "None");
}

TEST(Values, AsciiJsonEscapesEverythingOutsideAscii) {
  EXPECT_EQ(dump_ascii(Json("中 😀 \"q\"")), "\"\\u4e2d \\ud83d\\ude00 \\\"q\\\"\"");
  EXPECT_EQ(dump_ascii(Json(std::string("bad \xff byte"))), "\"bad \\ufffd byte\"");
}

TEST(Values, IdsAreRandomHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string id = new_uuid_hex();
    ASSERT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}")))
        << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_TRUE(std::regex_match(new_tab_id(), std::regex("[0-9a-f]{8}")));
}

TEST(Values, CharactersAreCountedNotBytes) {
  EXPECT_EQ(count_chars("").value, 0u);
  EXPECT_EQ(count_chars("abc").value, 3u);
  EXPECT_EQ(count_chars("中文字 and 😀😀 plus a long ascii tail....").value, 37u);
  // Long ASCII runs are counted in blocks; a character put at every offset crosses their edges.
  const std::string run(300, 'a');
  for (std::size_t at = 0; at <= run.size(); ++at) {
    for (const std::string wide : {"é", "中", "😀"}) {
      ASSERT_EQ(count_chars(run.substr(0, at) + wide + run.substr(at)).value, run.size() + 1)
          << wide << " at " << at;
    }
  }
}

}  // namespace
}  // namespace veltaro::common
