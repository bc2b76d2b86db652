// A Telnet connection as a tab uses it: the protocol engine over a shared TCP socket. One thread
// may block in recv while others send, resize and close; close wakes the blocked recv.
#pragma once

#include "common/receive_buffer.h"
#include "common/tcp_socket.h"
#include "model/transports/telnet_backend/telnet_options.h"
#include "model/transports/telnet_backend/telnet_protocol.h"
#include "model/transports/transport.h"

#include <memory>
#include <mutex>
#include <string>

namespace veltaro::telnet {

class TelnetBackend final : public transport::Transport {
 public:
  explicit TelnetBackend(TelnetOptions options);

  // Opens the TCP connection and sends the opening offers (after the server's first word or two
  // seconds of silence in passive mode). With COM-port control it returns once the server agreed
  // and the line settings are sent. Throws std::runtime_error with a readable reason.
  void connect() override;
  std::string recv(std::size_t max_bytes) override;
  std::string_view recv_lent(std::size_t max_bytes, std::string& owned) override;
  void send(std::string_view data) override;
  void resize(int rows, int cols) override;
  void close() noexcept override;
  bool is_closed() const noexcept override;

  // What the terminal server reported back about its serial port so far.
  ComPortReport com_port_report() const;

 private:
  std::shared_ptr<common::TcpSocket> socket() const;
  // Feeds `size` received bytes through the protocol and sends the replies it owes. The bytes are
  // replaced in place by the terminal data they carry; returns its length.
  std::size_t process(common::TcpSocket& sock, char* bytes, std::size_t size);
  void send_ordered(common::TcpSocket& sock, std::string_view bytes);
  void negotiate_until(common::TcpSocket& sock, std::chrono::milliseconds limit,
                       bool (*done)(const TelnetProtocol&));
  void open_com_port(common::TcpSocket& sock);

  const std::string host_;
  const int port_;
  const std::chrono::seconds timeout_;
  const bool passive_;
  const bool com_port_control_;

  mutable std::mutex mutex_;  // guards protocol_, socket_, closed_ and pending_
  TelnetProtocol protocol_;
  std::shared_ptr<common::TcpSocket> socket_;
  bool closed_ = false;
  std::string pending_;  // terminal data that arrived while connect() negotiated
  // Where a receive reads the wire and turns it into data in place, kept between calls: the data
  // is lent from here until the next receive, or copied out. Used by the one reader only.
  common::ReceiveBuffer wire_;

  // Held from the moment the protocol produced bytes until they are written, so that what the
  // server sees follows the protocol's order (a NAWS after a resize is never overtaken by an older
  // one). Never held while waiting for data.
  std::mutex write_order_;
};

}  // namespace veltaro::telnet
