// The one thing a tab holds of its protocol: a live connection behind a small interface.
//
// How a protocol plugs in:
//   1. A connection class implementing TabConnection, in its own files (ssh2_connection.*,
//      stream_connection.*). A protocol whose transport is a plain transport::Transport (raw TCP
//      and, later, Telnet and SSH-1) needs no class of its own: StreamConnection carries any of
//      them.
//   2. A starter, a VeltaroApp member in start_<protocol>.cpp: it reads the session, shows its
//      progress and failures as status lines, connects, and hands the open connection to the tab
//      with attach_connection(), which also starts the tab's reader.
//   3. One line in the dispatch table (protocol_dispatch.cpp) naming the starter.
// Nothing else changes: input, resize, close, the reader and the output pipeline (including the
// wait for room while the page is behind) only ever see this interface.
#pragma once

#include "model/transports/transport.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace veltaro::gui {

// Safe to use from several threads at once: the reader receives while page calls send and resize,
// and any of them may close.
class TabConnection {
 public:
  virtual ~TabConnection() = default;

  // Waits for the next bytes from the peer (at most `max_bytes`); empty once the connection
  // ended or close() was called, never before: a connection whose transport polls (a serial
  // port) keeps polling in here. Throws std::runtime_error when the connection failed.
  virtual std::string receive(std::size_t max_bytes) = 0;
  // The same, but the bytes may be lent out of the connection's buffer: see
  // transport::Transport::recv_lent.
  virtual std::string_view receive_lent(std::size_t max_bytes, std::string& owned) {
    owned = receive(max_bytes);
    return owned;
  }
  // Sends the bytes the user typed. Throws std::runtime_error when sending failed.
  virtual void send_input(std::string_view bytes) = 0;
  // Reports a new terminal size; a connection with no terminal size ignores it. Throws
  // std::runtime_error on failure.
  virtual void resize(int rows, int cols) = 0;
  // The keep-alive interval the session asks for, applied while the connection runs; a
  // connection without keep-alives ignores it. Never throws.
  virtual void set_keepalive(std::chrono::seconds interval) noexcept = 0;
  // Ends the connection and everything it carries. Idempotent; wakes a blocked receive. Never
  // throws.
  virtual void close() noexcept = 0;
  virtual bool is_open() const noexcept = 0;
  // Whether the peer can be made to wait. When the page falls behind, the reader of such a
  // connection stops receiving and flow control slows the peer; a line that cannot wait (a serial
  // port without flow control) has its oldest output dropped instead.
  virtual bool can_wait() const noexcept = 0;
  // The local serial line whose modem lines the board-reset actions drive: the port open right
  // now, or nullptr (no port at the moment, or a connection that has none). Never throws.
  virtual std::shared_ptr<transport::SerialLine> serial_line() const noexcept { return nullptr; }
};

}  // namespace veltaro::gui
