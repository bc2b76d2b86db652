// What a tab needs of its connection: connect, blocking receive, send, resize, close.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltaro::transport {

// Anything a tab holds that must be released when the tab closes.
class Closeable {
 public:
  virtual ~Closeable() = default;
  // Idempotent and thread-safe; wakes a thread blocked in a receive. Never throws.
  virtual void close() noexcept = 0;
};

// A byte stream to a peer. recv and send may run on different threads at the same time, and
// close may come from a third.
class Transport : public Closeable {
 public:
  // Opens the connection. Throws std::runtime_error whose text is shown to the user.
  virtual void connect() = 0;
  // Waits for data; returns up to max_bytes bytes, or empty bytes once the peer ended the stream
  // or close() was called. Throws std::runtime_error when the connection fails.
  virtual std::string recv(std::size_t max_bytes) = 0;
  // The same bytes, possibly lent out of the transport's own buffer instead of copied into a
  // string: the view stays valid until the next receive, and `owned` is left empty. Bytes that
  // are the caller's to keep are put in `owned` instead, and the view shows them there. A
  // transport that reworks what it read in a buffer of its own (a Telnet engine taking its
  // commands out) saves a copy of every byte this way.
  virtual std::string_view recv_lent(std::size_t max_bytes, std::string& owned) {
    owned = recv(max_bytes);
    return owned;
  }
  // Sends all of `data`. Throws std::runtime_error when the connection fails or is closed.
  virtual void send(std::string_view data) = 0;
  // Reports a new terminal size to the peer. Throws std::runtime_error on failure.
  virtual void resize(int rows, int cols) = 0;
  virtual bool is_closed() const noexcept = 0;
};

// A local serial line: it polls rather than blocks, so its surface differs from a stream's.
class SerialLine : public Closeable {
 public:
  // Reads what is waiting, possibly nothing. Throws std::runtime_error when the device failed.
  virtual std::string read(std::size_t max_bytes) = 0;
  // Writes all of `data`. Throws std::runtime_error on failure.
  virtual void write(std::string_view data) = 0;
  virtual bool is_open() const noexcept = 0;
  // ESP board resets through DTR and RTS; block until the sequence is done. Throw
  // std::runtime_error when the lines cannot be driven or the line is closed.
  virtual void hard_reset() = 0;
  virtual void enter_bootloader() = 0;
  // What the line is, for log lines.
  virtual std::string describe() const = 0;
};

}  // namespace veltaro::transport
