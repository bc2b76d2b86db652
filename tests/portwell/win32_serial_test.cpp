// The port class over the recording seam: what it asks the driver for when it opens, how it
// fails, and what a closed port does.
#include "fake_comm_api.h"

#include <gtest/gtest.h>

#include <tuple>

namespace veltaro::portwell::testing {
namespace {

struct Opened {
  std::shared_ptr<FakeCommApi> api = std::make_shared<FakeCommApi>();
  std::unique_ptr<Win32Serial> port;

  explicit Opened(SerialOptions options = {"COM3"}) {
    port = std::make_unique<Win32Serial>(api, options, api->pause());
  }
};

TEST(Win32SerialOpen, AsksForAnExclusiveSynchronousHandleThenConfiguresAndPurges) {
  Opened o({"COM12", 115200});
  EXPECT_EQ(o.api->calls(),
            (std::vector<std::string>{R"(CreateFile(\\.\COM12, C0000000, 0, 3, 0))", "GetCommState",
                                      "SetCommState", "SetCommTimeouts", "PurgeComm(15)"}));
  EXPECT_EQ(o.api->timeouts, (CommTimeouts{0xFFFFFFFF, 0, 0, 0, 1000}));
  EXPECT_TRUE(o.port->is_open());
  EXPECT_EQ(o.port->handle(), FakeCommApi::kHandle);

  Opened as_given({R"(\\.\COM4)"});
  EXPECT_EQ(as_given.api->calls().front(), R"(CreateFile(\\.\COM4, C0000000, 0, 3, 0))");
}

// Parity letter, stop-bit text and flow choice against the DCB the driver receives; every field
// the port does not choose keeps the driver's value.
TEST(Win32SerialOpen, DcbForEveryParityStopBitAndFlowCombination) {
  const std::vector<std::pair<std::string, std::uint8_t>> parities = {
      {"N", 0}, {"O", 1}, {"E", 2}, {"M", 3}, {"S", 4}, {"e", 2}, {"m", 3}, {"X", 0}, {"", 0}};
  const std::vector<std::pair<std::string, std::uint8_t>> stops = {
      {"1", 0}, {"1.5", 1}, {"2", 2}, {"2.0", 0}, {"", 0}};
  enum Flow { none, xonxoff, rtscts, dsrdtr };
  for (const auto& [parity, parity_value] : parities) {
    for (const auto& [stop, stop_value] : stops) {
      for (const Flow flow : {none, xonxoff, rtscts, dsrdtr}) {
        SCOPED_TRACE("parity=" + parity + " stop=" + stop + " flow=" + std::to_string(flow));
        auto api = std::make_shared<FakeCommApi>();
        api->driver_dcb.fDtrControl = 0;
        api->driver_dcb.fRtsControl = 0;
        api->driver_dcb.fBinary = 0;
        api->driver_dcb.fParity = 1;
        api->driver_dcb.XonLim = 1234;
        api->driver_dcb.EofChar = 'z';
        api->driver_dcb.fAbortOnError = 1;
        Win32Serial port(
            api, {"COM5", 74880, 7, parity, stop, flow == xonxoff, flow == rtscts, flow == dsrdtr},
            api->pause());
        ASSERT_EQ(api->set_states.size(), 1u);
        Dcb want = api->driver_dcb;
        want.BaudRate = 74880;
        want.ByteSize = 7;
        want.Parity = parity_value;
        want.StopBits = stop_value;
        want.fOutxCtsFlow = flow == rtscts;
        want.fRtsControl = flow == rtscts ? 2 : 1;
        want.fOutxDsrFlow = flow == dsrdtr;
        want.fDtrControl = flow == dsrdtr ? 2 : 1;
        want.fOutX = flow == xonxoff;
        want.fInX = flow == xonxoff;
        want.fBinary = 1;
        want.fParity = parity_value != 0;
        EXPECT_EQ(api->set_states.front(), want);
      }
    }
  }
}

TEST(Win32SerialOpen, FailuresPropagateAndReleaseTheDevice) {
  {
    auto api = std::make_shared<FakeCommApi>();
    api->failing["CreateFile"] = kErrorAccessDenied;
    try {
      Win32Serial port(api, {"COM7"}, api->pause());
      FAIL() << "opened a port held by another program";
    } catch (const OsError& e) {
      EXPECT_STREQ(e.what(), "(5, 'CreateFile', 'failing as the test asked')");
      EXPECT_EQ(e.code(), 5u);
    }
  }
  for (const char* step : {"GetCommState", "SetCommState", "SetCommTimeouts"}) {
    SCOPED_TRACE(step);
    auto api = std::make_shared<FakeCommApi>();
    api->failing[step] = 87;
    EXPECT_THROW(Win32Serial(api, {"COM7"}, api->pause()), OsError);
    EXPECT_EQ(api->calls().back(), "CloseHandle");
    EXPECT_FALSE(api->handle_open());
  }
  {
    auto api = std::make_shared<FakeCommApi>();
    api->failing["PurgeComm"] = 87;
    Win32Serial port(api, {"COM7"}, api->pause());
    EXPECT_TRUE(port.is_open());
  }
  {
    auto api = std::make_shared<FakeCommApi>();
    EXPECT_THROW(Win32Serial(api, {"COM7", -9600}, api->pause()), std::invalid_argument);
    EXPECT_THROW(Win32Serial(api, {"COM7", 9600, 300}, api->pause()), std::invalid_argument);
    EXPECT_TRUE(api->calls().empty());
  }
}

TEST(Win32SerialIo, ReadsWhatArrivedWritesWhatTheDriverTookAndWrapsFailures) {
  Opened o;
  o.api->clear_calls();
  EXPECT_EQ(o.port->read(), "");
  o.api->to_read = "boot: ok\r\n";
  EXPECT_EQ(o.port->read(64), "boot: ok\r\n");
  EXPECT_EQ(o.api->calls(), (std::vector<std::string>{"ReadFile(4096)", "ReadFile(64)"}));

  o.api->write_limit = 3;
  EXPECT_EQ(o.port->write("\xC3\xA9xyz"), 3u);
  EXPECT_EQ(o.api->written, "\xC3\xA9x");

  o.api->failing["ReadFile"] = 22;
  o.api->failing["WriteFile"] = 1167;
  try {
    o.port->read();
    FAIL();
  } catch (const OsError& e) {
    EXPECT_STREQ(e.what(), "ReadFile failed: (22, 'ReadFile', 'failing as the test asked')");
  }
  try {
    o.port->write("x");
    FAIL();
  } catch (const OsError& e) {
    EXPECT_STREQ(e.what(), "WriteFile failed: (1167, 'WriteFile', 'failing as the test asked')");
  }
}

TEST(Win32SerialClosed, NeverTouchesTheHandleAgain) {
  Opened o;
  o.port->close();
  EXPECT_FALSE(o.port->is_open());
  EXPECT_FALSE(o.api->handle_open());
  o.api->clear_calls();
  o.port->close();
  EXPECT_EQ(o.port->read(), "");
  EXPECT_EQ(o.port->write("data"), 0u);
  o.port->set_dtr(true);
  o.port->set_rts(false);
  EXPECT_TRUE(o.api->calls().empty());

  // A reset on a closed port fails in its first step, before any line changes.
  try {
    o.port->hard_reset();
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), kErrorInvalidHandle);
    EXPECT_EQ(e.function(), "GetCommState");
  }
  EXPECT_EQ(o.api->calls(), std::vector<std::string>{"GetCommState"});
}

TEST(Win32SerialClosed, CloseWhileReadingWaitsForTheReadInFlight) {
  Opened o;
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread reader([&] {
    while (!stop.load()) {
      try {
        o.port->read();
      } catch (const OsError&) {
        failures.fetch_add(1);
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  o.port->close();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop.store(true);
  reader.join();
  // A read that reached the seam after CloseHandle would have failed on the invalid handle.
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(o.api->calls().back(), "CloseHandle");
}

}  // namespace
}  // namespace veltaro::portwell::testing
