// The copy loop of a forwarded connection: a local TCP socket on one side, an SSH channel on the
// other. Private to the GUI library.
#pragma once

#include "common/tcp_socket.h"
#include "model/transports/ssh2/channel.h"

#include <atomic>

namespace veltaro::gui::detail {

// Copies both ways until either side ends, a receive or send fails, or `stop` is set; then
// closes both the socket and the channel, whichever way the loop ended. Never throws.
void copy_until_closed(common::TcpSocket& socket, ssh2::Channel& channel,
                       const std::atomic<bool>& stop) noexcept;

}  // namespace veltaro::gui::detail
