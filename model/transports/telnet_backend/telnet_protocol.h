// The Telnet client's protocol state without any socket: received bytes go in, terminal data
// and the replies owed to the server come out. Not thread-safe; the transport serialises calls.
#pragma once

#include "com_port.h"
#include "command_parser.h"
#include "option_state.h"
#include "telnet_options.h"

#include <array>
#include <string>
#include <string_view>

namespace veltaro::telnet {

class TelnetProtocol final : private ParserSink {
 public:
  enum class ComPortState { pending, agreed, refused };

  explicit TelnetProtocol(TelnetOptions options);

  // The offers a client makes when the connection opens (or, in passive mode, once the server
  // has spoken or stayed silent long enough). Offers already settled are not repeated.
  std::string opening_offers();

  // Parses received bytes: the terminal data goes to `data`, which needs room for `bytes.size()`
  // and may be `bytes.data()` itself; bytes owed to the server are appended to `replies`. Returns
  // the length of the data. Never throws beyond std::bad_alloc.
  std::size_t receive(std::string_view bytes, char* data, std::string& replies);

  // Typed bytes as they go on the wire: 255 doubled, and a bare CR as CR NUL unless the server
  // agreed to binary input.
  std::string encode_input(std::string_view typed) const;

  // Records a new window size; returns the NAWS message when the server asked for sizes.
  std::string resize(int rows, int cols);

  // True once the server sent any negotiation or sub-negotiation.
  bool server_negotiated() const noexcept { return server_negotiated_; }
  ComPortState com_port_state() const noexcept;
  const ComPortReport& com_port_report() const noexcept { return com_report_; }

 private:
  void on_negotiation(std::uint8_t verb, std::uint8_t option) override;
  void on_subnegotiation(std::uint8_t option, std::string_view payload) override;

  void on_do(std::uint8_t option);
  void on_will(std::uint8_t option);
  bool accept_do(std::uint8_t option);
  void apply_us(std::uint8_t option, const OptionStep& step);
  void apply_him(std::uint8_t option, const OptionStep& step);
  void request_us(std::uint8_t option);
  void request_him(std::uint8_t option);
  void us_enabled(std::uint8_t option);
  void us_refused(std::uint8_t option);
  void answer_send(std::uint8_t option, std::string_view request);
  void send_subnegotiation(std::uint8_t option, std::string_view payload);
  std::string naws_message() const;

  const TelnetOptions options_;
  CommandParser parser_;
  std::array<OptionSide, 256> us_{};   // options we perform (WILL/WONT from us)
  std::array<OptionSide, 256> him_{};  // options the server performs (DO/DONT from us)
  int rows_;
  int cols_;
  bool server_negotiated_ = false;
  bool environ_deferred_ = false;  // the server asked for ENVIRON; NEW-ENVIRON offered first
  bool new_environ_refused_ = false;
  bool com_refused_ = false;
  ComPortReport com_report_;
  std::string* replies_ = nullptr;  // the output of the receive() call in progress
};

}  // namespace veltaro::telnet
