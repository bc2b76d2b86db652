// Connected sockets: what every connection gets from the shared socket layer.
#include "common/tcp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltaro::common {
namespace {

using namespace std::chrono_literals;

int socket_option(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &len), 0);
  return value;
}

// Without keep-alive a peer that vanishes (cable pulled, host off) leaves the tab open for ever.
TEST(TcpSocket, connected_socket_is_close_on_exec_and_probes_an_idle_peer) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  TcpSocket socket = TcpSocket::connect("127.0.0.1", ntohs(addr.sin_port), 5s);
  ::close(listener);
  EXPECT_NE(::fcntl(socket.fd(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(socket_option(socket.fd(), SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(socket_option(socket.fd(), IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(socket_option(socket.fd(), IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(socket_option(socket.fd(), IPPROTO_TCP, TCP_KEEPCNT), 3);
}

}  // namespace
}  // namespace veltaro::common
