// The port on real pseudo-terminals: socat joins the port to a far end the test plays.
#include "model/transports/portwell/os_error.h"
#include "model/transports/portwell/win32_serial.h"
#include "socat_pty.h"

#include <gtest/gtest.h>

#include <thread>

namespace veltaro::portwell {
namespace {

using namespace std::chrono_literals;

SerialOptions options_for(const peers::SocatPty& pty, long long baud = 115200) {
  SerialOptions o;
  o.port = pty.device().string();
  o.baudrate = baud;
  return o;
}

// Polls the port like a reader loop until `n` bytes arrived or ten seconds passed.
std::string read_bytes(SerialPort& port, std::size_t n) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
    const std::string chunk = port.read();
    if (chunk.empty()) std::this_thread::sleep_for(5ms);
    got += chunk;
  }
  return got;
}

std::string os_error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const OsError& e) {
    return e.what();
  }
  return "no error";
}

TEST(PosixPort, CarriesBytesBothWaysAtAnyLineSetting) {
  peers::SocatPty pty;
  const auto api = native_comm_api();
  SerialOptions o = options_for(pty, 74880);
  o.bytesize = 7;
  o.parity = "M";
  o.stopbits = "2";
  o.xonxoff = true;
  Win32Serial port(api, o);
  const Dcb dcb = api->get_comm_state(port.handle());
  // The pty driver itself forces 8 bits without parity; the rest it keeps as set.
  EXPECT_EQ(dcb.BaudRate, 74880u);
  EXPECT_EQ(dcb.StopBits, kTwoStopBits);
  EXPECT_EQ(dcb.fOutX, 1);
  port.close();

  o = options_for(pty, 921600);
  o.rtscts = true;
  const auto data_port = open_serial(o);
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  all += std::string(20000, 'x');
  pty.send(all);
  EXPECT_EQ(read_bytes(*data_port, all.size()), all);
  EXPECT_EQ(data_port->read(), "");

  EXPECT_EQ(data_port->write(all), all.size());
  EXPECT_EQ(pty.receive_until([&](const std::string& s) { return s.size() >= all.size(); }), all);
}

TEST(PosixPort, OnePortOneOwner) {
  peers::SocatPty pty;
  auto first = open_serial(options_for(pty));
  EXPECT_EQ(os_error_text([&] { open_serial(options_for(pty)); }),
            "(16, 'CreateFile', 'Device or resource busy')");
  first->close();
  auto second = open_serial(options_for(pty));
  EXPECT_TRUE(second->is_open());
  second->close();
}

TEST(PosixPort, OpenEmptiesWhatWaitedAndReadsNeverWait) {
  peers::SocatPty pty;
  auto warm = open_serial(options_for(pty));
  warm->close();
  pty.send("stale bytes from before the open");
  std::this_thread::sleep_for(300ms);
  auto port = open_serial(options_for(pty));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(port->read(), "");
  pty.send("fresh");
  EXPECT_EQ(read_bytes(*port, 5), "fresh");
}

TEST(PosixPort, UnpluggedDeviceFailsReadsAndOpensAgainWhenBack) {
  peers::SocatPty pty;
  auto port = open_serial(options_for(pty));
  EXPECT_EQ(port->read(), "");
  pty.unplug();
  EXPECT_EQ(os_error_text([&] { port->read(); }),
            "ReadFile failed: (5, 'ReadFile', 'Input/output error')");
  EXPECT_EQ(os_error_text([&] { port->read(); }),
            "ReadFile failed: (5, 'ReadFile', 'Input/output error')");
  EXPECT_NE(os_error_text([&] { port->write("x"); }), "no error");
  port->close();
  EXPECT_EQ(os_error_text([&] { open_serial(options_for(pty)); }),
            "(2, 'CreateFile', 'No such file or directory')");

  pty.plug();
  auto again = open_serial(options_for(pty));
  pty.send("back");
  EXPECT_EQ(read_bytes(*again, 4), "back");
}

TEST(PosixPort, WriteGivesUpAfterAboutASecondWhenNobodyReads) {
  peers::SocatPty pty;
  auto port = open_serial(options_for(pty));
  const std::string big(8 << 20, 'w');
  const std::size_t n = port->write(big);
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
}

// A pseudo-terminal has no modem lines: both roads to them fail, the reset says so, and the
// port goes on working with its configuration restored.
TEST(PosixPort, ModemLinesOnAPseudoTerminalFailByBothRoads) {
  peers::SocatPty pty;
  auto port = open_serial(options_for(pty));
  const std::string both_failed =
      "modem ctrl failed: EscapeCommFunction err=25, DeviceIoControl err=25";
  EXPECT_EQ(os_error_text([&] { port->set_dtr(false); }), both_failed);
  EXPECT_EQ(os_error_text([&] { port->hard_reset(); }), both_failed);
  EXPECT_EQ(os_error_text([&] { port->enter_bootloader(); }), both_failed);
  pty.send("still here");
  EXPECT_EQ(read_bytes(*port, 10), "still here");
}

TEST(PosixPort, DsrDtrFlowOpensWithoutFlowControlAndSaysSo) {
  peers::SocatPty pty;
  SerialOptions o = options_for(pty);
  o.dsrdtr = true;
  ::testing::internal::CaptureStderr();
  const auto api = native_comm_api();
  Win32Serial port(api, o);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[serial] DSR/DTR flow control does not exist on this platform"),
            std::string::npos)
      << err;
  const Dcb dcb = api->get_comm_state(port.handle());
  EXPECT_EQ(dcb.fOutxDsrFlow, 0);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0);
  port.close();
}

}  // namespace
}  // namespace veltaro::portwell
