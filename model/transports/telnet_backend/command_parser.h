// Splits a received Telnet byte stream into terminal data and protocol commands. Pure: it owns
// no socket and keeps only the state a command split across reads needs, so any byte sequence in
// any split gives the same events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltaro::telnet {

// Receives the commands the parser finds, in stream order.
class ParserSink {
 public:
  virtual ~ParserSink() = default;
  // WILL, WONT, DO or DONT with its option.
  virtual void on_negotiation(std::uint8_t verb, std::uint8_t option) = 0;
  // A complete IAC SB ... IAC SE with doubled 255s undone; `payload` excludes the option byte.
  virtual void on_subnegotiation(std::uint8_t option, std::string_view payload) = 0;
  // Any other two-byte command (NOP, GA, AYT, ...); the client needs none of them.
  virtual void on_command(std::uint8_t) {}
};

class CommandParser {
 public:
  // A hostile peer must not grow memory without end inside one sub-negotiation: past this many
  // bytes the rest of the sub-negotiation is dropped and it is delivered cut short.
  static constexpr std::size_t kMaxSubnegotiation = 4096;

  // In NVT mode a received CR NUL stands for a bare CR, so the NUL is removed.
  void set_strip_cr_nul(bool strip) noexcept { strip_cr_nul_ = strip; }

  // Parses `bytes`: the terminal data goes to `out` and each command to `sink`. Returns how many
  // data bytes were written. `out` needs room for `bytes.size()` and may be `bytes.data()`, so a
  // received buffer is turned into its data in place. Never throws by itself.
  std::size_t feed(std::string_view bytes, char* out, ParserSink& sink);

 private:
  enum class State : std::uint8_t { data, iac, verb, sb_option, sb, sb_iac };

  // Writes a data byte that came out of the command path.
  void put(char c);
  void put_nvt_nul();
  void feed_byte(std::uint8_t b, ParserSink& sink);
  void end_subnegotiation(ParserSink& sink);

  State state_ = State::data;
  std::uint8_t verb_ = 0;
  std::uint8_t sb_option_ = 0;
  std::string sb_payload_;
  bool strip_cr_nul_ = false;
  bool after_cr_ = false;  // the last data byte written was a CR
  char* out_ = nullptr;    // the output of the feed() in progress and how much of it is written
  std::size_t written_ = 0;
};

}  // namespace veltaro::telnet
