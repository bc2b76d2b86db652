// One side of one Telnet option, negotiated by the Q method of RFC 1143: a request is answered at
// most once and an answer is never answered again, so two parties can never loop.
#pragma once

#include <cstdint>
#include <optional>

namespace veltaro::telnet {

// What a step of the negotiation asks the caller to do.
struct OptionStep {
  // Send the positive (true: WILL/DO) or negative (false: WONT/DONT) message, if set.
  std::optional<bool> reply;
  // The option just became enabled (true) or disabled (false), if set.
  std::optional<bool> changed;
  // An offer of ours was refused (WANTYES answered negatively).
  bool refused = false;
};

class OptionSide {
 public:
  enum class State : std::uint8_t { no, yes, want_no, want_yes };

  bool enabled() const noexcept { return state_ == State::yes; }
  bool pending_enable() const noexcept { return state_ == State::want_yes; }
  State state() const noexcept { return state_; }

  // The peer sent the positive message (WILL for its side, DO for ours); `accept` says whether
  // we allow the option to be on.
  OptionStep on_positive(bool accept) noexcept;
  // The peer sent the negative message (WONT for its side, DONT for ours).
  OptionStep on_negative() noexcept;
  // We want the option on (true) or off (false).
  OptionStep request(bool enable) noexcept;

 private:
  State state_ = State::no;
  bool queued_opposite_ = false;
};

}  // namespace veltaro::telnet
