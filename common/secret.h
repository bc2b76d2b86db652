// Text the user typed as a secret (a password, a one-time code): wiped from memory when dropped,
// never copied. The storage is reserved once, so appending never leaves a stale copy behind in a
// buffer the string gave up.
#pragma once

#include <string.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace veltaro::common {

class Secret {
 public:
  // The longest secret kept; what is typed beyond it is ignored.
  static constexpr std::size_t kCapacity = 1024;  // bytes

  Secret() { text_.reserve(kCapacity); }
  explicit Secret(std::string_view text) : Secret() { append(text); }
  ~Secret() { wipe(); }
  Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { other.text_.clear(); }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      wipe();
      text_ = std::move(other.text_);
      other.text_.clear();
    }
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  // False when the text would not fit; nothing is appended then.
  bool append(std::string_view more) {
    if (text_.size() + more.size() > kCapacity) return false;
    text_.append(more);
    return true;
  }
  // Removes the last `n` bytes (at most all of them), wiping them.
  void drop_back(std::size_t n) noexcept {
    n = n < text_.size() ? n : text_.size();
    explicit_bzero(text_.data() + text_.size() - n, n);
    text_.resize(text_.size() - n);
  }
  // Removes the first `n` bytes (at most all of them); what moves down leaves no copy behind.
  void drop_front(std::size_t n) noexcept {
    n = n < text_.size() ? n : text_.size();
    const std::size_t left = text_.size() - n;
    std::memmove(text_.data(), text_.data() + n, left);
    explicit_bzero(text_.data() + left, n);
    text_.resize(left);
  }
  void wipe() noexcept {
    if (!text_.empty()) explicit_bzero(text_.data(), text_.size());
    text_.clear();
  }

  std::string_view view() const noexcept { return text_; }
  const char* c_str() const noexcept { return text_.c_str(); }
  bool empty() const noexcept { return text_.empty(); }
  std::size_t size() const noexcept { return text_.size(); }

 private:
  std::string text_;
};

}  // namespace veltaro::common
