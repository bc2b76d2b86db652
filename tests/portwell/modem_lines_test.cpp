// DTR/RTS control and the ESP reset sequences over the recording seam: the exact calls and
// pauses, the driver-level fallback, failures, and resets that overlap.
#include "fake_comm_api.h"

#include <gtest/gtest.h>

#include <thread>

namespace veltaro::portwell::testing {
namespace {

using Calls = std::vector<std::string>;

struct ResetTest : ::testing::Test {
  std::shared_ptr<FakeCommApi> api = std::make_shared<FakeCommApi>();
  std::unique_ptr<Win32Serial> port;

  void open(bool rtscts = false) {
    port = std::make_unique<Win32Serial>(
        api, SerialOptions{"COM3", 115200, 8, "N", "1", false, rtscts, false}, api->pause());
    // From here on the driver reports what the port configured.
    api->driver_dcb = api->set_states.back();
    api->clear_calls();
  }
};

TEST_F(ResetTest, HardResetPulsesRtsWithDtrClearThenRestoresTheSavedDcb) {
  open();
  port->hard_reset();
  EXPECT_EQ(api->calls(), (Calls{"GetCommState", "GetCommState", "SetCommState",
                                 "EscapeCommFunction(6)", "EscapeCommFunction(3)", "pause 100",
                                 "EscapeCommFunction(4)", "pause 50", "SetCommState"}));
  ASSERT_EQ(api->set_states.size(), 2u);
  EXPECT_EQ(api->set_states.back(), api->driver_dcb);
}

TEST_F(ResetTest, EnterBootloaderHoldsDtrWhileRtsIsReleased) {
  open();
  port->enter_bootloader();
  EXPECT_EQ(api->calls(),
            (Calls{"GetCommState", "GetCommState", "SetCommState", "EscapeCommFunction(6)",
                   "EscapeCommFunction(3)", "pause 100", "EscapeCommFunction(5)",
                   "EscapeCommFunction(4)", "pause 50", "EscapeCommFunction(6)", "SetCommState"}));
  EXPECT_EQ(api->set_states.back(), api->driver_dcb);
}

TEST_F(ResetTest, FlowControlledPortIsPulsedByHandAndGetsItsHandshakeBack) {
  open(/*rtscts=*/true);
  ASSERT_EQ(api->driver_dcb.fRtsControl, kControlHandshake);
  port->hard_reset();
  ASSERT_EQ(api->set_states.size(), 2u);
  const Dcb& manual = api->set_states.front();
  EXPECT_EQ(manual.fRtsControl, kControlEnable);
  EXPECT_EQ(manual.fDtrControl, kControlEnable);
  EXPECT_EQ(manual.fOutxCtsFlow, 0);
  EXPECT_EQ(manual.fOutxDsrFlow, 0);
  EXPECT_EQ(manual.BaudRate, 115200u);
  EXPECT_EQ(api->set_states.back().fRtsControl, kControlHandshake);
  EXPECT_EQ(api->set_states.back().fOutxCtsFlow, 1);
}

TEST_F(ResetTest, DriverRejectingEscapeCommFunctionGetsTheControlCodeAndALogLine) {
  open();
  api->failing["EscapeCommFunction"] = kErrorNotSupported;
  ::testing::internal::CaptureStderr();
  port->set_dtr(false);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(api->calls(), (Calls{"EscapeCommFunction(6)", "DeviceIoControl(0x001B0028)"}));
  EXPECT_EQ(err, "[serial.modem] EscapeCommFunction(6) err=50, used DeviceIoControl(0x001B0028)\n");

  api->clear_calls();
  ::testing::internal::CaptureStderr();
  port->set_rts(true);
  port->set_rts(false);
  port->set_dtr(true);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(api->calls(), (Calls{"EscapeCommFunction(3)", "DeviceIoControl(0x001B0030)",
                                 "EscapeCommFunction(4)", "DeviceIoControl(0x001B0034)",
                                 "EscapeCommFunction(5)", "DeviceIoControl(0x001B0024)"}));
}

TEST_F(ResetTest, BothLinePathsFailingRestoresTheDcbBeforeTheErrorLeaves) {
  open();
  api->failing["EscapeCommFunction"] = kErrorNotSupported;
  api->failing["DeviceIoControl"] = kErrorInvalidFunction;
  for (const bool bootloader : {false, true}) {
    api->clear_calls();
    try {
      bootloader ? port->enter_bootloader() : port->hard_reset();
      FAIL() << "the reset reported success";
    } catch (const OsError& e) {
      EXPECT_STREQ(e.what(), "modem ctrl failed: EscapeCommFunction err=50, DeviceIoControl err=1");
    }
    EXPECT_EQ(api->calls(),
              (Calls{"GetCommState", "GetCommState", "SetCommState", "EscapeCommFunction(6)",
                     "DeviceIoControl(0x001B0028)", "SetCommState"}));
    EXPECT_EQ(api->set_states.back(), api->driver_dcb);
  }
}

TEST_F(ResetTest, FailedRestoreIsReportedNotRaised) {
  open();
  const Dcb saved = api->driver_dcb;
  api->failing["SetCommState"] = 31;
  ::testing::internal::CaptureStderr();
  port->_restore_dcb(saved);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[serial.modem] DCB restore failed: (31, 'SetCommState', 'failing as the test "
            "asked')\n");
}

// Two sequences at once would each restore the other's manual DCB: the second waits.
TEST_F(ResetTest, ResetsOnOnePortRunOneAtATime) {
  api = std::make_shared<FakeCommApi>();
  auto slow = [this](std::chrono::milliseconds d) {
    api->pause()(d);
    std::this_thread::sleep_for(d / 5);
  };
  port = std::make_unique<Win32Serial>(api, SerialOptions{"COM3"}, slow);
  api->clear_calls();
  std::thread a([&] { port->hard_reset(); });
  std::thread b([&] { port->enter_bootloader(); });
  a.join();
  b.join();
  const Calls calls = api->calls();
  const Calls hard = {
      "GetCommState",          "GetCommState", "SetCommState",          "EscapeCommFunction(6)",
      "EscapeCommFunction(3)", "pause 100",    "EscapeCommFunction(4)", "pause 50",
      "SetCommState"};
  const Calls boot = {"GetCommState",          "GetCommState",          "SetCommState",
                      "EscapeCommFunction(6)", "EscapeCommFunction(3)", "pause 100",
                      "EscapeCommFunction(5)", "EscapeCommFunction(4)", "pause 50",
                      "EscapeCommFunction(6)", "SetCommState"};
  Calls hard_then_boot = hard, boot_then_hard = boot;
  hard_then_boot.insert(hard_then_boot.end(), boot.begin(), boot.end());
  boot_then_hard.insert(boot_then_hard.end(), hard.begin(), hard.end());
  EXPECT_TRUE(calls == hard_then_boot || calls == boot_then_hard)
      << ::testing::PrintToString(calls);
}

}  // namespace
}  // namespace veltaro::portwell::testing
