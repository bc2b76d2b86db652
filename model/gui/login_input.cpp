#include "model/gui/login_input.h"

namespace veltaro::gui {

namespace {

constexpr char kCtrlC = '\x03';
constexpr char kCtrlU = '\x15';
constexpr char kBackspace = '\x7f';
constexpr char kCtrlH = '\x08';
constexpr char kEsc = '\x1b';

bool is_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The length of the escape sequence (a cursor key, a function key) at the start of `keys`: it
// edits nothing here and is dropped whole.
std::size_t escape_length(std::string_view keys) {
  if (keys.size() < 2) return keys.size();
  if (keys[1] != '[' && keys[1] != 'O') return 2;
  std::size_t i = 2;
  if (keys[1] == 'O') return std::min<std::size_t>(3, keys.size());
  while (i < keys.size() && !(keys[i] >= 0x40 && keys[i] <= 0x7e)) ++i;
  return std::min(i + 1, keys.size());
}

// Removes the last character of `line`; how many bytes went (0 when it was empty).
std::size_t drop_last_char(common::Secret& line) {
  const std::string_view text = line.view();
  std::size_t n = 0;
  while (n < text.size() && is_continuation(text[text.size() - 1 - n])) ++n;
  if (n < text.size()) ++n;
  line.drop_back(n);
  return n;
}

}  // namespace

bool LoginInput::feed(std::string_view keys) {
  {
    const std::lock_guard lock(mutex_);
    if (closed_) return false;
    // Beyond the room of a secret the keys are dropped: no answer is that long.
    pending_.append(keys.substr(0, common::Secret::kCapacity - pending_.size()));
  }
  typed_.notify_all();
  return true;
}

bool LoginInput::edit(common::Secret& line, bool echo, std::string& shown, End& end) {
  const std::string_view keys = pending_.view();
  std::size_t used = 0;
  bool ended = false;
  while (used < keys.size() && !ended) {
    const char c = keys[used];
    std::size_t step = 1;
    if (c == '\r' || c == '\n') {
      if (c == '\r' && used + 1 < keys.size() && keys[used + 1] == '\n') step = 2;
      shown += "\r\n";
      end = End::kAnswered;
      ended = true;
    } else if (c == kCtrlC) {
      shown += "^C\r\n";
      end = End::kGaveUp;
      ended = true;
    } else if (c == kBackspace || c == kCtrlH) {
      if (drop_last_char(line) > 0 && echo) shown += "\b \b";
    } else if (c == kCtrlU) {
      while (drop_last_char(line) > 0) {
        if (echo) shown += "\b \b";
      }
    } else if (c == kEsc) {
      step = escape_length(keys.substr(used));
    } else if (static_cast<unsigned char>(c) >= 0x20) {
      if (line.append(keys.substr(used, 1)) && echo) shown += c;
    }
    used += step;
  }
  pending_.drop_front(used);
  return ended;
}

LoginInput::Line LoginInput::read_line(bool echo, std::chrono::milliseconds timeout,
                                       const Write& write) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  common::Secret line;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (closed_) return {End::kClosed, {}};
    std::string shown;
    End end = End::kAnswered;
    const bool ended = edit(line, echo, shown, end);
    if (!shown.empty()) {
      lock.unlock();
      write(shown);
      lock.lock();
    }
    if (ended) {
      if (end != End::kAnswered) line.wipe();
      return {end, std::move(line)};
    }
    if (pending_.empty() &&
        !typed_.wait_until(lock, deadline, [&] { return closed_ || !pending_.empty(); })) {
      lock.unlock();
      write("\r\n");
      return {End::kTimedOut, {}};
    }
  }
}

void LoginInput::close() noexcept {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    pending_.wipe();
  }
  typed_.notify_all();
}

}  // namespace veltaro::gui
