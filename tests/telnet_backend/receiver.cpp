#include "receiver.h"

#include <exception>

namespace veltaro::telnet::testing {

Receiver::Receiver(transport::Transport& t) : transport_(t) {
  thread_ = std::thread([this] {
    try {
      // Both ways of receiving, in turn: the copying one and the lending one a tab's reader uses.
      std::string owned;
      for (bool lend = false;; lend = !lend) {
        const std::string data =
            lend ? std::string(transport_.recv_lent(4096, owned)) : transport_.recv(4096);
        if (data.empty()) break;
        const std::lock_guard lock(mu_);
        text_ += data;
        cv_.notify_all();
      }
    } catch (const std::exception&) {
      // The end of the stream is what the tests wait for; the reason does not matter here.
    }
    const std::lock_guard lock(mu_);
    ended_ = true;
    cv_.notify_all();
  });
}

Receiver::~Receiver() {
  transport_.close();
  thread_.join();
}

bool Receiver::wait_for(const std::function<bool(const std::string&)>& done,
                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return done(text_); });
}

bool Receiver::wait_for_text(const std::string& needle, std::chrono::milliseconds timeout) {
  return wait_for([&](const std::string& t) { return t.find(needle) != std::string::npos; },
                  timeout);
}

bool Receiver::wait_for_end(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return ended_; });
}

std::string Receiver::text() const {
  const std::lock_guard lock(mu_);
  return text_;
}

}  // namespace veltaro::telnet::testing
