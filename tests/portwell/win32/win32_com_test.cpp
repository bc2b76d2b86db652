// The Win32 layer on real COM ports: under Wine, COM5 and COM6 are the two ends of a socat
// pseudo-terminal pair (wine_run.sh). COM5 is the port under test; COM6 plays the device.
#include "model/transports/portwell/os_error.h"
#include "model/transports/portwell/win32_serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace veltaro::portwell {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SerialOptions com(const char* name, long long baud = 115200) {
  SerialOptions o;
  o.port = name;
  o.baudrate = baud;
  return o;
}

// Polls like a tab's reader until `n` bytes arrived or ten seconds passed.
std::string read_bytes(SerialPort& port, std::size_t n) {
  std::string got;
  const auto deadline = Clock::now() + 10s;
  while (got.size() < n && Clock::now() < deadline) {
    const std::string chunk = port.read();
    if (chunk.empty()) std::this_thread::sleep_for(5ms);
    got += chunk;
  }
  return got;
}

// Writes all of `data`, one bounded write after another.
void write_all(SerialPort& port, std::string_view data) {
  const auto deadline = Clock::now() + 10s;
  while (!data.empty() && Clock::now() < deadline) data.remove_prefix(port.write(data));
}

std::string os_error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const OsError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Win32Com, OpensConfiguresAndCarriesBytesBothWays) {
  const auto api = native_comm_api();
  SerialOptions o = com("COM5", 57600);
  o.stopbits = "2";
  o.xonxoff = true;
  {
    Win32Serial port(api, o);
    const Dcb dcb = api->get_comm_state(port.handle());
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.StopBits, kTwoStopBits);
    EXPECT_EQ(dcb.fOutX, 1);
    EXPECT_EQ(dcb.fInX, 1);
    port.close();
    EXPECT_FALSE(port.is_open());
  }

  const auto port = open_serial(com("\\\\.\\COM5", 921600));
  const auto device = open_serial(com("COM6", 921600));
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  all += std::string(20000, 'x');
  write_all(*device, all);
  EXPECT_EQ(read_bytes(*port, all.size()), all);
  EXPECT_EQ(port->read(), "");
  write_all(*port, all);
  EXPECT_EQ(read_bytes(*device, all.size()), all);
  device->close();
  port->close();
}

TEST(Win32Com, OpenEmptiesWhatWaitedAndReadsNeverWait) {
  auto warm = open_serial(com("COM5"));
  warm->close();
  const auto device = open_serial(com("COM6"));
  write_all(*device, "stale bytes from before the open");
  std::this_thread::sleep_for(300ms);
  const auto port = open_serial(com("COM5"));
  std::this_thread::sleep_for(100ms);
  const auto before = Clock::now();
  EXPECT_EQ(port->read(), "");
  EXPECT_LT(Clock::now() - before, 500ms);  // a read that waited would take the whole time-out
  write_all(*device, "fresh");
  EXPECT_EQ(read_bytes(*port, 5), "fresh");
  device->close();
  port->close();
}

TEST(Win32Com, WriteGivesUpWhenNobodyReads) {
  const auto port = open_serial(com("COM5"));
  const auto device = open_serial(com("COM6"));
  const std::string big(8 << 20, 'w');
  const std::size_t n = port->write(big);
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
  port->close();
  device->close();
}

TEST(Win32Com, MissingPortFailsWithThePlatformError) {
  const std::string text = os_error_text([] { open_serial(com("COM7")); });
  EXPECT_EQ(text.rfind("(2, 'CreateFile', '", 0), 0u) << text;
}

// Wine has no modem lines on a pseudo-terminal: both roads fail, the reset says so, and the port
// goes on working with its configuration put back.
TEST(Win32Com, ModemLinesOnAPseudoTerminalFailByBothRoads) {
  const auto api = native_comm_api();
  SerialOptions o = com("COM5");
  o.rtscts = true;
  Win32Serial port(api, o);
  const Dcb configured = api->get_comm_state(port.handle());
  const std::string both_failed =
      "modem ctrl failed: EscapeCommFunction err=50, DeviceIoControl err=50";
  EXPECT_EQ(os_error_text([&] { port.hard_reset(); }), both_failed);
  EXPECT_EQ(os_error_text([&] { port.enter_bootloader(); }), both_failed);
  EXPECT_EQ(api->get_comm_state(port.handle()), configured);
  const auto device = open_serial(com("COM6"));
  write_all(*device, "still here");
  EXPECT_EQ(read_bytes(port, 10), "still here");
  device->close();
  port.close();
}

}  // namespace
}  // namespace veltaro::portwell
