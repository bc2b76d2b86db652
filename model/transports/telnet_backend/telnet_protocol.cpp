#include "telnet_protocol.h"

#include "telnet_codes.h"

#include <algorithm>

namespace veltaro::telnet {

namespace {

std::string negotiation(std::uint8_t verb, std::uint8_t option) {
  return {static_cast<char>(cmd::IAC), static_cast<char>(verb), static_cast<char>(option)};
}

void append_doubling_iac(std::string& out, std::string_view bytes) {
  for (const char c : bytes) {
    out.push_back(c);
    if (static_cast<std::uint8_t>(c) == cmd::IAC) out.push_back(c);
  }
}

// IAC SB option payload IAC SE, with each 255 in the payload doubled.
std::string subnegotiation(std::uint8_t option, std::string_view payload) {
  std::string out{static_cast<char>(cmd::IAC), static_cast<char>(cmd::SB),
                  static_cast<char>(option)};
  append_doubling_iac(out, payload);
  out.push_back(static_cast<char>(cmd::IAC));
  out.push_back(static_cast<char>(cmd::SE));
  return out;
}

std::uint16_t window_dimension(int n) {
  return static_cast<std::uint16_t>(std::clamp(n, 0, 0xFFFF));
}

}  // namespace

TelnetProtocol::TelnetProtocol(TelnetOptions options)
    : options_(std::move(options)), rows_(options_.term_height), cols_(options_.term_width) {
  parser_.set_strip_cr_nul(true);
}

std::string TelnetProtocol::opening_offers() {
  std::string out;
  replies_ = &out;
  request_him(opt::SGA);
  request_us(opt::SGA);
  request_us(opt::TTYPE);
  request_us(opt::NAWS);
  request_us(opt::TSPEED);
  if (!us_[opt::ENVIRON].enabled() && !new_environ_refused_) request_us(opt::NEW_ENVIRON);
  if (options_.com_port_control) request_us(opt::COM_PORT);
  replies_ = nullptr;
  return out;
}

std::size_t TelnetProtocol::receive(std::string_view bytes, char* data, std::string& replies) {
  replies_ = &replies;
  const std::size_t written = parser_.feed(bytes, data, *this);
  replies_ = nullptr;
  return written;
}

std::string TelnetProtocol::encode_input(std::string_view typed) const {
  const bool nvt = !us_[opt::BINARY].enabled();
  std::string out;
  out.reserve(typed.size() + 8);
  for (std::size_t i = 0; i < typed.size(); ++i) {
    const char c = typed[i];
    out.push_back(c);
    if (static_cast<std::uint8_t>(c) == cmd::IAC) {
      out.push_back(c);
    } else if (c == '\r' && nvt && (i + 1 == typed.size() || typed[i + 1] != '\n')) {
      out.push_back('\0');
    }
  }
  return out;
}

std::string TelnetProtocol::resize(int rows, int cols) {
  rows_ = rows;
  cols_ = cols;
  return us_[opt::NAWS].enabled() ? naws_message() : std::string();
}

TelnetProtocol::ComPortState TelnetProtocol::com_port_state() const noexcept {
  if (us_[opt::COM_PORT].enabled()) return ComPortState::agreed;
  return com_refused_ ? ComPortState::refused : ComPortState::pending;
}

void TelnetProtocol::on_negotiation(std::uint8_t verb, std::uint8_t option) {
  server_negotiated_ = true;
  switch (verb) {
    case cmd::DO:
      on_do(option);
      break;
    case cmd::DONT:
      if (option == opt::COM_PORT && !us_[option].enabled()) com_refused_ = true;
      apply_us(option, us_[option].on_negative());
      break;
    case cmd::WILL:
      on_will(option);
      break;
    default:
      apply_him(option, him_[option].on_negative());
      break;
  }
}

void TelnetProtocol::on_do(std::uint8_t option) {
  // Agreeing to both environment options leaves some servers waiting forever for the second
  // answer, so the old option is taken only when the new one was refused.
  if (option == opt::ENVIRON && !new_environ_refused_ &&
      us_[opt::ENVIRON].state() == OptionSide::State::no) {
    apply_us(option, us_[option].on_positive(false));
    if (!us_[opt::NEW_ENVIRON].enabled() && !us_[opt::NEW_ENVIRON].pending_enable()) {
      request_us(opt::NEW_ENVIRON);
    }
    environ_deferred_ = true;
    return;
  }
  apply_us(option, us_[option].on_positive(accept_do(option)));
}

bool TelnetProtocol::accept_do(std::uint8_t option) {
  switch (option) {
    case opt::BINARY:
    case opt::SGA:
    case opt::TTYPE:
    case opt::NAWS:
    case opt::TSPEED:
      return true;
    case opt::NEW_ENVIRON:
      return !us_[opt::ENVIRON].enabled();
    case opt::ENVIRON:
      return !us_[opt::NEW_ENVIRON].enabled();
    case opt::COM_PORT:
      return options_.com_port_control;
    default:
      return false;
  }
}

void TelnetProtocol::on_will(std::uint8_t option) {
  const bool accept = option == opt::BINARY || option == opt::ECHO || option == opt::SGA;
  apply_him(option, him_[option].on_positive(accept));
}

void TelnetProtocol::apply_us(std::uint8_t option, const OptionStep& step) {
  if (step.reply) replies_->append(negotiation(*step.reply ? cmd::WILL : cmd::WONT, option));
  if (step.changed == true) us_enabled(option);
  if (step.refused) us_refused(option);
}

void TelnetProtocol::apply_him(std::uint8_t option, const OptionStep& step) {
  if (step.reply) replies_->append(negotiation(*step.reply ? cmd::DO : cmd::DONT, option));
  if (step.changed && option == opt::BINARY) parser_.set_strip_cr_nul(!*step.changed);
}

void TelnetProtocol::request_us(std::uint8_t option) {
  apply_us(option, us_[option].request(true));
}

void TelnetProtocol::request_him(std::uint8_t option) {
  apply_him(option, him_[option].request(true));
}

void TelnetProtocol::us_enabled(std::uint8_t option) {
  if (option == opt::NAWS) {
    replies_->append(naws_message());
  } else if (option == opt::COM_PORT) {
    for (const std::string& command : com_port_commands(options_.com)) {
      send_subnegotiation(opt::COM_PORT, command);
    }
  }
}

void TelnetProtocol::us_refused(std::uint8_t option) {
  if (option == opt::COM_PORT) com_refused_ = true;
  if (option != opt::NEW_ENVIRON) return;
  new_environ_refused_ = true;
  if (environ_deferred_) request_us(opt::ENVIRON);
}

void TelnetProtocol::on_subnegotiation(std::uint8_t option, std::string_view payload) {
  server_negotiated_ = true;
  if (option == opt::COM_PORT) {
    record_com_port_answer(payload, com_report_);
    return;
  }
  // A sub-negotiation goes out only for an option the server asked us to perform; anything
  // else would reach some servers' shells as typed text.
  if (payload.empty() || !us_[option].enabled()) return;
  if (static_cast<std::uint8_t>(payload[0]) == sub::SEND) answer_send(option, payload.substr(1));
}

void TelnetProtocol::answer_send(std::uint8_t option, std::string_view request) {
  switch (option) {
    case opt::TTYPE:
      send_subnegotiation(option, std::string(1, static_cast<char>(sub::IS)) + options_.term_type);
      break;
    case opt::TSPEED:
      send_subnegotiation(option, std::string(1, static_cast<char>(sub::IS)) + options_.term_speed);
      break;
    case opt::NEW_ENVIRON:
      send_subnegotiation(option, environ_reply(request, kRfcEnvironCodes, options_.username,
                                                options_.environment));
      break;
    case opt::ENVIRON:
      send_subnegotiation(
          option, environ_reply(request, options_.rfc_environ ? kRfcEnvironCodes : kBsdEnvironCodes,
                                options_.username, options_.environment));
      break;
    default:
      break;
  }
}

void TelnetProtocol::send_subnegotiation(std::uint8_t option, std::string_view payload) {
  replies_->append(subnegotiation(option, payload));
}

std::string TelnetProtocol::naws_message() const {
  const std::uint16_t w = window_dimension(cols_);
  const std::uint16_t h = window_dimension(rows_);
  const std::string size{static_cast<char>(w >> 8), static_cast<char>(w & 0xFF),
                         static_cast<char>(h >> 8), static_cast<char>(h & 0xFF)};
  return subnegotiation(opt::NAWS, size);
}

}  // namespace veltaro::telnet
