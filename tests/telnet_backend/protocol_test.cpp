#include "model/transports/telnet_backend/com_port.h"
#include "model/transports/telnet_backend/telnet_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace veltaro::telnet {
namespace {

template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

std::string iac(std::uint8_t verb, std::uint8_t option) {
  return {'\xff', static_cast<char>(verb), static_cast<char>(option)};
}
std::string sb(std::uint8_t option, const std::string& payload) {
  return "\xff\xfa" + std::string(1, static_cast<char>(option)) + payload + "\xff\xf0";
}

constexpr std::uint8_t WILL = 251, WONT = 252, DO = 253, DONT = 254;

struct Exchange {
  std::string data;
  std::string replies;
};

// Parsed in place, as the transport does with what it reads.
Exchange feed(TelnetProtocol& p, const std::string& in) {
  Exchange e;
  e.data = in;
  e.data.resize(p.receive(e.data, e.data.data(), e.replies));
  return e;
}

TelnetOptions with_environment() {
  TelnetOptions o;
  o.username = "alice";
  o.environment = {{"LANG", "zh_TW.UTF-8"},
                   {"ODD\x01"
                    "NAME",
                    "v\xff"}};
  return o;
}

TEST(TelnetProtocol, ActiveClientOffersItsOptionsOnce) {
  TelnetOptions o;
  o.com_port_control = true;
  TelnetProtocol p(o);
  EXPECT_EQ(p.opening_offers(), iac(DO, 3) + iac(WILL, 3) + iac(WILL, 24) + iac(WILL, 31) +
                                    iac(WILL, 32) + iac(WILL, 39) + iac(WILL, 44));
  EXPECT_EQ(p.opening_offers(), "");
}

TEST(TelnetProtocol, UnknownOptionsAreRefusedAndRepeatedRequestsNotAnsweredAgain) {
  TelnetProtocol p{TelnetOptions{}};
  const auto first = feed(p, iac(DO, 5) + iac(WILL, 5) + iac(DO, 1) + iac(WILL, 1));
  EXPECT_EQ(first.replies, iac(WONT, 5) + iac(DONT, 5) + iac(WONT, 1) + iac(DO, 1));
  const auto again = feed(p, iac(WILL, 1));
  EXPECT_EQ(again.replies, "");
}

// Two engines wired back to back must settle: RFC 1143 never answers an answer.
TEST(TelnetProtocol, TwoPeersNegotiatingEveryOptionSettleWithoutLooping) {
  TelnetOptions o = with_environment();
  o.com_port_control = true;
  TelnetProtocol a(o), b(o);
  std::string to_b = a.opening_offers();
  std::string to_a = b.opening_offers();
  for (int option = 0; option < 256; ++option) {
    to_b +=
        iac(DO, static_cast<std::uint8_t>(option)) + iac(WILL, static_cast<std::uint8_t>(option));
  }
  int rounds = 0;
  while ((!to_a.empty() || !to_b.empty()) && rounds < 20) {
    const auto at_b = feed(b, to_b);
    const auto at_a = feed(a, to_a);
    to_a = at_b.replies;
    to_b = at_a.replies;
    ++rounds;
  }
  EXPECT_LT(rounds, 20);
}

TEST(TelnetProtocol, SubnegotiationsGoOnlyToOptionsTheServerAskedFor) {
  TelnetProtocol p(with_environment());
  p.opening_offers();
  const std::string sends = sb(24, "\x01") + sb(32, "\x01") + sb(39, "\x01");
  EXPECT_EQ(feed(p, sends).replies, "");
  EXPECT_EQ(p.resize(30, 100), "");

  EXPECT_EQ(feed(p, iac(DO, 24) + iac(DO, 32)).replies, "");
  const auto answered = feed(p, sb(24, "\x01") + sb(24, "\x01") + sb(32, "\x01"));
  EXPECT_EQ(answered.replies, sb(24, bytes("\0xterm")) + sb(24, bytes("\0xterm")) +
                                  sb(32, bytes("\0"
                                               "38400,38400")));
}

TEST(TelnetProtocol, WindowSizeIsSentWhenAskedAndOnEveryResizeWith255Doubled) {
  TelnetProtocol p{TelnetOptions{}};
  EXPECT_EQ(feed(p, iac(DO, 31)).replies, iac(WILL, 31) + sb(31, bytes("\0\x50\0\x18")));
  EXPECT_EQ(p.resize(255, 511), sb(31, bytes("\x01\xff\xff\0\xff\xff")));
  EXPECT_EQ(p.resize(-3, 70000), sb(31, bytes("\xff\xff\xff\xff\0\0")));
}

TEST(TelnetProtocol, NewEnvironCarriesUserAsVarAndEntriesAsEscapedUservars) {
  TelnetProtocol p(with_environment());
  feed(p, iac(DO, 39));
  const std::string all = bytes(
      "\0\0USER\x01"
      "alice\x03LANG\x01zh_TW.UTF-8\x03ODD\x02\x01NAME\x01v\xff\xff");
  EXPECT_EQ(feed(p, sb(39, "\x01")).replies, sb(39, all));
  EXPECT_EQ(feed(p, sb(39, bytes("\x01\0"))).replies, sb(39, bytes("\0\0USER\x01"
                                                                   "alice")));
  EXPECT_EQ(feed(p, sb(39, "\x01\x03LANG")).replies, sb(39, bytes("\0\x03LANG\x01zh_TW.UTF-8")));
}

TEST(TelnetProtocol, OldEnvironIsTakenOnlyAfterNewEnvironIsRefused) {
  for (const bool rfc : {true, false}) {
    TelnetOptions o = with_environment();
    o.environment.clear();
    o.rfc_environ = rfc;
    o.passive = true;
    TelnetProtocol p(o);
    EXPECT_EQ(feed(p, iac(DO, 36)).replies, iac(WONT, 36) + iac(WILL, 39));
    EXPECT_EQ(feed(p, iac(DONT, 39)).replies, iac(WILL, 36));
    feed(p, iac(DO, 36));
    const std::string is = rfc ? bytes(
                                     "\0\0USER\x01"
                                     "alice")
                               : bytes("\0\x01USER\0alice");
    EXPECT_EQ(feed(p, sb(36, "\x01")).replies, sb(36, is)) << "rfc_environ " << rfc;
  }
}

TEST(TelnetProtocol, BothEnvironmentOptionsRequestedGetsOnlyNewEnviron) {
  TelnetProtocol p(with_environment());
  p.opening_offers();
  EXPECT_EQ(feed(p, iac(DO, 39) + iac(DO, 36)).replies, iac(WONT, 36));
}

TEST(TelnetProtocol, TypedInputDoublesIacAndSendsBareCrAsCrNulUntilBinary) {
  TelnetProtocol p{TelnetOptions{}};
  EXPECT_EQ(p.encode_input(bytes("a\xff\r\nb\r\rc\r")), bytes("a\xff\xff\r\nb\r\0\r\0c\r\0"));
  feed(p, iac(DO, 0));
  EXPECT_EQ(p.encode_input(bytes("\xff\r")), bytes("\xff\xff\r"));
}

TEST(TelnetProtocol, ServerBinaryKeepsReceivedCrNul) {
  TelnetProtocol p{TelnetOptions{}};
  EXPECT_EQ(feed(p, bytes("a\r\0b")).data, "a\rb");
  EXPECT_EQ(feed(p, iac(WILL, 0) + bytes("a\r\0b")).data, bytes("a\r\0b"));
}

TEST(ComPort, SettingsMapToRfc2217CommandsAndUnknownValuesToDefaults) {
  const auto commands = com_port_commands({115200, 7, "E", "1.5", "D"});
  EXPECT_EQ(commands, (std::vector<std::string>{bytes("\x01\0\x01\xc2\0"), "\x02\x07", "\x03\x03",
                                                "\x04\x03", "\x05\x13", "\x05\x12"}));
  const auto odd = com_port_commands({0, 9, "x", "3", "?"});
  EXPECT_EQ(odd, (std::vector<std::string>{bytes("\x01\0\0\x25\x80"), "\x02\x08", "\x03\x01",
                                           "\x04\x01", "\x05\x01"}));
  EXPECT_EQ(com_port_commands({9600, 8, "O", "2", "X"})[2], "\x03\x02");
  EXPECT_EQ(com_port_commands({9600, 8, "M", "2", "X"})[3], "\x04\x02");
  EXPECT_EQ(com_port_commands({9600, 8, "S", "1", "R"})[4], "\x05\x03");
}

TEST(ComPort, AgreementSendsTheSettingsAndRefusalOrAnswersAreRecorded) {
  TelnetOptions o;
  o.com_port_control = true;
  o.com = {19200, 8, "N", "1", "N"};
  TelnetProtocol agreed(o);
  agreed.opening_offers();
  EXPECT_EQ(feed(agreed, iac(DO, 44)).replies, sb(44, bytes("\x01\0\0\x4b\0")) +
                                                   sb(44, "\x02\x08") + sb(44, "\x03\x01") +
                                                   sb(44, "\x04\x01") + sb(44, "\x05\x01"));
  EXPECT_EQ(agreed.com_port_state(), TelnetProtocol::ComPortState::agreed);
  feed(agreed,
       sb(44, bytes("\x65\0\0\x4b\0")) + sb(44, "\x66\x08") + sb(44, "\x69\x01") + sb(44, "\x65"));
  const ComPortReport& r = agreed.com_port_report();
  EXPECT_EQ(r.baud, 19200U);
  EXPECT_EQ(r.data_size, 8);
  EXPECT_FALSE(r.parity.has_value());
  EXPECT_EQ(r.control, std::vector<std::uint8_t>{1});

  TelnetProtocol refused(o);
  refused.opening_offers();
  EXPECT_EQ(feed(refused, iac(DONT, 44)).replies, "");
  EXPECT_EQ(refused.com_port_state(), TelnetProtocol::ComPortState::refused);
}

}  // namespace
}  // namespace veltaro::telnet
