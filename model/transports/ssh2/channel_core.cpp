#include "channel_core.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

namespace veltaro::ssh2::detail {

namespace {

int new_eventfd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}

void post(int fd) noexcept {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void clear(int fd) noexcept {
  std::uint64_t count = 0;
  while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace

Waker::Waker() : fd_(new_eventfd()) {}
Waker::~Waker() {
  ::close(fd_);
}
void Waker::wake() noexcept {
  pending_.store(true);
  post(fd_);
}
void Waker::drain() noexcept {
  clear(fd_);
}

void ByteQueue::consume(std::size_t n) noexcept {
  head_ += std::min(n, size());
  if (head_ == data_.size()) {
    clear();
  } else if (head_ > (std::size_t{1} << 16) && head_ > data_.size() / 2) {
    data_.erase(0, head_);
    head_ = 0;
  }
}

ChannelCore::ChannelCore(std::shared_ptr<Waker> waker)
    : waker_(std::move(waker)), event_fd_(new_eventfd()) {}

ChannelCore::~ChannelCore() {
  ::close(event_fd_);
}

std::string ChannelCore::recv(std::size_t max_bytes) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return closed_ || !inbound_.empty() || peer_eof_ || ended_; });
  if (closed_ || inbound_.empty()) return {};
  const std::size_t before = inbound_.size();
  std::string out(inbound_.front(max_bytes));
  inbound_.consume(out.size());
  update_signal_locked();
  const bool resume = before >= kInboundHighWater && inbound_.size() < kInboundHighWater;
  lock.unlock();
  if (resume) waker_->wake();  // the I/O thread stopped reading this channel
  return out;
}

void ChannelCore::send(std::string_view data) {
  std::unique_lock lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() + kSendStall;
  while (!data.empty()) {
    if (closed_) throw std::runtime_error("the channel is closed");
    if (ended_) {
      throw std::runtime_error(end_reason_.empty() ? "the channel was closed by the server"
                                                   : end_reason_);
    }
    if (outbound_.size() >= kOutboundHighWater) {
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
          outbound_.size() >= kOutboundHighWater) {
        throw std::runtime_error("send timed out: the server takes no data");
      }
      continue;
    }
    const std::size_t n = std::min(data.size(), kOutboundHighWater - outbound_.size());
    outbound_.append(data.substr(0, n));
    data.remove_prefix(n);
    deadline = std::chrono::steady_clock::now() + kSendStall;
    waker_->wake();
  }
}

void ChannelCore::close() noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    inbound_.clear();
    update_signal_locked();
  }
  changed_.notify_all();
  waker_->wake();
}

bool ChannelCore::is_closed() const noexcept {
  const std::lock_guard lock(mutex_);
  return closed_ || ((peer_eof_ || ended_) && inbound_.empty());
}

std::size_t ChannelCore::inbound_room() const noexcept {
  const std::lock_guard lock(mutex_);
  if (closed_) return 0;
  return inbound_.size() >= kInboundHighWater ? 0 : kInboundHighWater - inbound_.size();
}

void ChannelCore::deliver(std::string_view bytes) {
  {
    const std::lock_guard lock(mutex_);
    if (closed_) return;
    inbound_.append(bytes);
    update_signal_locked();
  }
  changed_.notify_all();
}

std::string ChannelCore::peek_outbound(std::size_t max) const {
  const std::lock_guard lock(mutex_);
  return std::string(outbound_.front(max));
}

void ChannelCore::consume_outbound(std::size_t n) noexcept {
  {
    const std::lock_guard lock(mutex_);
    outbound_.consume(n);
  }
  changed_.notify_all();
}

bool ChannelCore::outbound_empty() const noexcept {
  const std::lock_guard lock(mutex_);
  return outbound_.empty();
}

bool ChannelCore::closed_here() const noexcept {
  const std::lock_guard lock(mutex_);
  return closed_;
}

void ChannelCore::set_peer_eof() noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (peer_eof_) return;
    peer_eof_ = true;
    update_signal_locked();
  }
  changed_.notify_all();
}

void ChannelCore::set_ended(std::string reason) noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    peer_eof_ = true;
    end_reason_ = std::move(reason);
    outbound_.clear();
    update_signal_locked();
  }
  changed_.notify_all();
}

void ChannelCore::update_signal_locked() noexcept {
  const bool readable = closed_ || !inbound_.empty() || peer_eof_ || ended_;
  if (readable == signaled_) return;
  signaled_ = readable;
  if (readable) {
    post(event_fd_);
  } else {
    clear(event_fd_);
  }
}

}  // namespace veltaro::ssh2::detail
