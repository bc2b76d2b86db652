#include "model/transports/telnet_backend/command_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace veltaro::telnet {
namespace {

// Writes every command as text, so that two parses can be compared as one string.
class Recorder : public ParserSink {
 public:
  std::string data;
  std::string events;
  void on_negotiation(std::uint8_t verb, std::uint8_t option) override {
    events += "N" + std::to_string(verb) + "," + std::to_string(option) + ";";
  }
  void on_subnegotiation(std::uint8_t option, std::string_view payload) override {
    events += "S" + std::to_string(option) + ":" + std::string(payload) + ";";
  }
  void on_command(std::uint8_t c) override { events += "C" + std::to_string(c) + ";"; }
};

Recorder parse_in_pieces(const std::string& stream, std::size_t piece, bool strip_cr_nul) {
  CommandParser parser;
  parser.set_strip_cr_nul(strip_cr_nul);
  Recorder r;
  for (std::size_t i = 0; i < stream.size(); i += piece) {
    // In place, as the transport parses what it reads.
    std::string chunk = stream.substr(i, piece);
    chunk.resize(parser.feed(chunk, chunk.data(), r));
    r.data += chunk;
  }
  return r;
}

template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

const std::string kMixed = bytes(
    "ab\xff\xff"
    "c\r\0d\xff\xfd\x18"
    "e\xff\xfa\x18\x01\xff\xff"
    "x\xff\xf0"
    "f\xff\xf1"
    "\r\n\xff\xfb\x01");

TEST(CommandParser, EveryCommandKindIsFoundAndDataKeptExact) {
  const Recorder r = parse_in_pieces(kMixed, kMixed.size(), true);
  EXPECT_EQ(r.data, bytes("ab\xff"
                          "c\rdef\r\n"));
  EXPECT_EQ(r.events, std::string("N253,24;S24:\x01\xff"
                                  "x;C241;N251,1;"));
}

TEST(CommandParser, AnySplitAcrossReadsGivesTheSameResult) {
  const Recorder whole = parse_in_pieces(kMixed, kMixed.size(), true);
  for (std::size_t piece = 1; piece < kMixed.size(); ++piece) {
    const Recorder split = parse_in_pieces(kMixed, piece, true);
    EXPECT_EQ(split.data, whole.data) << "piece " << piece;
    EXPECT_EQ(split.events, whole.events) << "piece " << piece;
  }
}

// Long runs of data go through the block-wise copy; one byte at a time never does. Each command
// or NUL is put at every offset of a long line, after an escaped 255 near the start so that the
// rest is moved down inside the buffer.
TEST(CommandParser, LongRunsKeepEveryByteWhereverACommandFalls) {
  struct Case {
    std::string insert, data, events;
  };
  const Case cases[] = {{bytes("\xff\xff"), "\xff", ""},
                        {bytes("\xff\xf1"), "", "C241;"},
                        {bytes("\r\0"), "\r", ""},
                        {bytes("\0"), bytes("\0"), ""},
                        {bytes("\xff\xfb\x01"), "", "N251,1;"}};
  std::string line;
  for (int i = 0; i < 300; ++i) line.push_back(static_cast<char>('!' + i % 90));
  const std::string head = bytes("ab\xff\xff");
  for (const Case& c : cases) {
    for (std::size_t at = 0; at <= line.size(); ++at) {
      const std::string stream = head + line.substr(0, at) + c.insert + line.substr(at);
      const std::string data = "ab\xff" + line.substr(0, at) + c.data + line.substr(at);
      for (const std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{45}}) {
        const Recorder r = parse_in_pieces(stream, piece, true);
        ASSERT_EQ(r.data, data) << "at " << at << " piece " << piece;
        ASSERT_EQ(r.events, c.events) << "at " << at << " piece " << piece;
      }
    }
  }
}

TEST(CommandParser, CrNulIsKeptInBinaryModeAndOnlyAfterCrRemovedInNvt) {
  const std::string stream("\r\0a\0\r", 5);
  EXPECT_EQ(parse_in_pieces(stream + std::string(1, '\0'), 1, false).data, stream + '\0');
  EXPECT_EQ(parse_in_pieces(stream + std::string(1, '\0'), 1, true).data,
            std::string("\ra\0\r", 4));
}

TEST(CommandParser, OversizedSubnegotiationIsCutAndTheStreamGoesOn) {
  std::string stream = "\xff\xfa\x18";
  stream += std::string(CommandParser::kMaxSubnegotiation * 3, 'z');
  stream += "\xff\xf0tail";
  const Recorder r = parse_in_pieces(stream, 1000, true);
  EXPECT_EQ(r.data, "tail");
  EXPECT_EQ(r.events.size(), std::string("S24:;").size() + CommandParser::kMaxSubnegotiation);
}

TEST(CommandParser, MissingSeDoesNotSwallowTheFollowingCommand) {
  const Recorder r = parse_in_pieces(
      "\xff\xfa\x1f"
      "ab\xff\xfd\x03"
      "ok",
      64, true);
  EXPECT_EQ(r.events, "S31:ab;N253,3;");
  EXPECT_EQ(r.data, "ok");
}

}  // namespace
}  // namespace veltaro::telnet
