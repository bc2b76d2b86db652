#include "model/gui/copy_loop.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>

namespace veltaro::gui::detail {

namespace {

constexpr std::size_t kChunkBytes = 4096;
// How often an idle connection looks at the application's stop flag.
constexpr std::chrono::milliseconds kStopCheck{1000};
// A local program that takes nothing for this long is treated as gone, so a tab's close can
// never leave a copy thread blocked on it for ever.
constexpr std::chrono::seconds kPeerStall{60};

// Closes both ends however the loop is left.
struct CloseBoth {
  common::TcpSocket& socket;
  ssh2::Channel& channel;
  ~CloseBoth() {
    channel.close();
    socket.shutdown();
  }
};

}  // namespace

void copy_until_closed(common::TcpSocket& socket, ssh2::Channel& channel,
                       const std::atomic<bool>& stop) noexcept {
  const CloseBoth closer{socket, channel};
  try {
    while (!stop.load()) {
      std::array<pollfd, 2> fds = {pollfd{socket.fd(), POLLIN, 0},
                                   pollfd{channel.fileno(), POLLIN, 0}};
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(kStopCheck.count()));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (ready == 0) continue;
      if (fds[0].revents != 0) {
        const std::string data = socket.recv(kChunkBytes);
        if (data.empty()) return;
        channel.send(data);
      }
      if (fds[1].revents != 0) {
        const std::string data = channel.recv(kChunkBytes);
        if (data.empty()) return;
        socket.send_all(data, kPeerStall);
      }
    }
  } catch (...) {
    // A broken side ends this connection only; the closer releases both.
  }
}

}  // namespace veltaro::gui::detail
