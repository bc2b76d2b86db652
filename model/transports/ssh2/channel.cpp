#include "channel.h"

#include "model/transports/ssh2/channel_core.h"
#include "model/transports/ssh2/connection.h"

#include <stdexcept>

namespace veltaro::ssh2 {

Channel::Channel(std::shared_ptr<detail::Connection> connection,
                 std::shared_ptr<detail::ChannelCore> core)
    : connection_(std::move(connection)), core_(std::move(core)) {}

Channel::~Channel() {
  core_->close();
}

void Channel::connect() {
  if (core_->is_closed()) throw std::runtime_error("the channel is closed");
}

std::string Channel::recv(std::size_t max_bytes) {
  return core_->recv(max_bytes);
}

void Channel::send(std::string_view data) {
  core_->send(data);
}

void Channel::resize(int rows, int cols) {
  connection_->change_pty_size(core_, cols, rows, kRequestTimeout);
}

void Channel::close() noexcept {
  core_->close();
}

bool Channel::is_closed() const noexcept {
  return core_->is_closed();
}

void Channel::get_pty(const std::string& term, int width, int height) {
  connection_->request_pty(core_, term, width, height, kRequestTimeout);
}

void Channel::invoke_shell() {
  connection_->request_shell(core_, kRequestTimeout);
}

int Channel::fileno() const noexcept {
  return core_->readable_fd();
}

}  // namespace veltaro::ssh2
