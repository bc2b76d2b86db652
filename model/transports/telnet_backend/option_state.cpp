#include "option_state.h"

namespace veltaro::telnet {

OptionStep OptionSide::on_positive(bool accept) noexcept {
  OptionStep step;
  switch (state_) {
    case State::no:
      if (accept) {
        state_ = State::yes;
        step.reply = true;
        step.changed = true;
      } else {
        step.reply = false;
      }
      break;
    case State::yes:
      break;
    case State::want_no:
      // The peer answered our disable with enable: RFC 1143 treats it as an error and settles.
      state_ = queued_opposite_ ? State::yes : State::no;
      if (queued_opposite_) step.changed = true;
      queued_opposite_ = false;
      break;
    case State::want_yes:
      if (queued_opposite_) {
        state_ = State::want_no;
        queued_opposite_ = false;
        step.reply = false;
      } else {
        state_ = State::yes;
        step.changed = true;
      }
      break;
  }
  return step;
}

OptionStep OptionSide::on_negative() noexcept {
  OptionStep step;
  switch (state_) {
    case State::no:
      break;
    case State::yes:
      state_ = State::no;
      step.reply = false;
      step.changed = false;
      break;
    case State::want_no:
      if (queued_opposite_) {
        state_ = State::want_yes;
        queued_opposite_ = false;
        step.reply = true;
      } else {
        state_ = State::no;
        step.changed = false;
      }
      break;
    case State::want_yes:
      state_ = State::no;
      queued_opposite_ = false;
      step.refused = true;
      break;
  }
  return step;
}

OptionStep OptionSide::request(bool enable) noexcept {
  OptionStep step;
  const State settled = enable ? State::yes : State::no;
  const State toward = enable ? State::want_yes : State::want_no;
  const State away = enable ? State::want_no : State::want_yes;
  if (state_ == settled) return step;
  if (state_ == toward) {
    queued_opposite_ = false;
  } else if (state_ == away) {
    queued_opposite_ = true;
  } else {
    state_ = toward;
    step.reply = enable;
  }
  return step;
}

}  // namespace veltaro::telnet
