#include "command_parser.h"

#include "plain_data.h"
#include "telnet_codes.h"

namespace veltaro::telnet {

std::size_t CommandParser::feed(std::string_view bytes, char* out, ParserSink& sink) {
  out_ = out;
  written_ = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (state_ != State::data) {
      feed_byte(static_cast<std::uint8_t>(bytes[i++]), sink);
      continue;
    }
    const std::size_t run =
        copy_plain_data(bytes.data() + i, bytes.size() - i, out_ + written_, strip_cr_nul_);
    i += run;
    written_ += run;
    if (run > 0) after_cr_ = out_[written_ - 1] == '\r';
    if (i == bytes.size()) break;
    if (static_cast<std::uint8_t>(bytes[i++]) != cmd::IAC) {
      put_nvt_nul();
    } else if (i < bytes.size() && static_cast<std::uint8_t>(bytes[i]) == cmd::IAC) {
      put('\xff');  // an escaped 255, which binary data has often, without the state machine
      ++i;
    } else {
      state_ = State::iac;
    }
  }
  out_ = nullptr;
  return written_;
}

// A NUL in NVT mode: only one that follows a CR stands for nothing.
void CommandParser::put_nvt_nul() {
  if (!after_cr_) {
    put('\0');
  } else {
    after_cr_ = false;
  }
}

void CommandParser::put(char c) {
  out_[written_++] = c;
  after_cr_ = c == '\r';
}

void CommandParser::feed_byte(std::uint8_t b, ParserSink& sink) {
  switch (state_) {
    case State::data:
      break;
    case State::iac:
      if (b == cmd::IAC) {
        put('\xff');
        state_ = State::data;
      } else if (b >= cmd::WILL) {
        verb_ = b;
        state_ = State::verb;
      } else if (b == cmd::SB) {
        sb_payload_.clear();
        state_ = State::sb_option;
      } else {
        sink.on_command(b);
        state_ = State::data;
      }
      break;
    case State::verb:
      state_ = State::data;
      sink.on_negotiation(verb_, b);
      break;
    case State::sb_option:
      sb_option_ = b;
      state_ = State::sb;
      break;
    case State::sb:
      if (b == cmd::IAC) {
        state_ = State::sb_iac;
      } else if (sb_payload_.size() < kMaxSubnegotiation) {
        sb_payload_.push_back(static_cast<char>(b));
      }
      break;
    case State::sb_iac:
      if (b == cmd::IAC) {
        if (sb_payload_.size() < kMaxSubnegotiation) sb_payload_.push_back('\xff');
        state_ = State::sb;
      } else {
        // IAC SE ends it; any other command after IAC inside a sub-negotiation is a peer's
        // error, and ending there keeps a lost SE from swallowing the rest of the stream.
        end_subnegotiation(sink);
        if (b != cmd::SE) {
          state_ = State::iac;
          feed_byte(b, sink);
        }
      }
      break;
  }
}

void CommandParser::end_subnegotiation(ParserSink& sink) {
  state_ = State::data;
  const std::string payload = std::move(sb_payload_);
  sb_payload_.clear();
  sink.on_subnegotiation(sb_option_, payload);
}

}  // namespace veltaro::telnet
