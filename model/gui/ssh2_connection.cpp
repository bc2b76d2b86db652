#include "model/gui/ssh2_connection.h"

#include <stdexcept>

namespace veltaro::gui {

void Ssh2Connection::adopt_shell(std::shared_ptr<ssh2::Channel> channel) noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (!closed_) {
      channel_ = std::move(channel);
      return;
    }
  }
  channel->close();
}

void Ssh2Connection::adopt_forward(std::shared_ptr<transport::Closeable> listener) noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (!closed_) {
      try {
        forwards_.push_back(listener);
        return;
      } catch (const std::bad_alloc&) {
        // Not kept means closed now: no port may outlive its connection.
      }
    }
  }
  listener->close();
}

std::shared_ptr<ssh2::Channel> Ssh2Connection::shell() const {
  const std::lock_guard lock(mutex_);
  return channel_;
}

std::string Ssh2Connection::receive(std::size_t max_bytes) {
  const auto channel = shell();
  return channel ? channel->recv(max_bytes) : std::string();
}

void Ssh2Connection::send_input(std::string_view bytes) {
  const auto channel = shell();
  if (!channel) throw std::runtime_error("no shell");
  channel->send(bytes);
}

void Ssh2Connection::resize(int rows, int cols) {
  if (const auto channel = shell()) channel->resize(rows, cols);
}

void Ssh2Connection::set_keepalive(std::chrono::seconds interval) noexcept {
  try {
    client_->set_keepalive(interval);
  } catch (...) {
    // The connection may be going down; its keep-alive no longer matters.
  }
}

void Ssh2Connection::close() noexcept {
  std::shared_ptr<ssh2::Channel> channel;
  std::vector<std::shared_ptr<transport::Closeable>> forwards;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    channel = channel_;
    forwards.swap(forwards_);
  }
  if (channel) channel->close();
  client_->close();
  for (const auto& f : forwards) f->close();
}

bool Ssh2Connection::is_open() const noexcept {
  const std::lock_guard lock(mutex_);
  return !closed_ && channel_ && !channel_->is_closed();
}

}  // namespace veltaro::gui
