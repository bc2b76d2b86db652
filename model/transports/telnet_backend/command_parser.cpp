#include "command_parser.h"

#include "telnet_codes.h"

#include <cstring>

namespace veltaro::telnet {

namespace {

// Hands `run` to the sink, leaving out each NUL that follows a CR (`after_cr` tells whether the
// byte before the run was a CR).
void emit_without_cr_nul(std::string_view run, bool after_cr, ParserSink& sink) {
  std::size_t start = 0;
  for (std::size_t p = 0; p < run.size(); ++p) {
    const void* hit = std::memchr(run.data() + p, '\0', run.size() - p);
    if (hit == nullptr) break;
    p = static_cast<std::size_t>(static_cast<const char*>(hit) - run.data());
    const bool cr_before = p == 0 ? after_cr : run[p - 1] == '\r';
    if (!cr_before) continue;
    if (p > start) sink.on_data(run.substr(start, p - start));
    start = p + 1;
  }
  if (start < run.size()) sink.on_data(run.substr(start));
}

}  // namespace

void CommandParser::feed(std::string_view bytes, ParserSink& sink) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (state_ == State::data) {
      i += feed_data(bytes.substr(i), sink);
    } else {
      feed_byte(static_cast<std::uint8_t>(bytes[i]), sink);
      ++i;
    }
  }
}

// Consumes plain data up to and including the next IAC.
std::size_t CommandParser::feed_data(std::string_view bytes, ParserSink& sink) {
  const void* hit = std::memchr(bytes.data(), cmd::IAC, bytes.size());
  const std::size_t run_len =
      hit == nullptr ? bytes.size()
                     : static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
  const std::string_view run = bytes.substr(0, run_len);
  if (!run.empty()) {
    if (strip_cr_nul_) {
      emit_without_cr_nul(run, after_cr_, sink);
    } else {
      sink.on_data(run);
    }
    after_cr_ = run.back() == '\r';
  }
  if (hit == nullptr) return run_len;
  state_ = State::iac;
  return run_len + 1;
}

void CommandParser::feed_byte(std::uint8_t b, ParserSink& sink) {
  switch (state_) {
    case State::data:
      break;
    case State::iac:
      if (b == cmd::IAC) {
        sink.on_data(std::string_view("\xff", 1));
        after_cr_ = false;
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
