// The POSIX layer's pure parts: where a port name points, and the DCB in termios2 terms.
#include "model/transports/portwell/os_error.h"
#include "model/transports/portwell/posix/device_path.h"
#include "model/transports/portwell/posix/termios_dcb.h"

#include <gtest/gtest.h>

namespace veltaro::portwell {
namespace {

TEST(PosixDevicePath, NamesMapToDevices) {
  EXPECT_EQ(posix_device_path("COM1"), "/dev/ttyS0");
  EXPECT_EQ(posix_device_path("com12"), "/dev/ttyS11");
  EXPECT_EQ(posix_device_path(R"(\\.\COM3)"), "/dev/ttyS2");
  EXPECT_EQ(posix_device_path(R"(\\.\/tmp/pty/ttyV0)"), "/tmp/pty/ttyV0");
  EXPECT_EQ(posix_device_path("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(posix_device_path(R"(\\.\ttyACM0)"), "/dev/ttyACM0");
  EXPECT_EQ(posix_device_path("COM0"), "/dev/COM0");
  EXPECT_EQ(posix_device_path("COM3x"), "/dev/COM3x");
  EXPECT_EQ(posix_device_path("COM"), "/dev/COM");
}

termios2 cooked() {
  termios2 t{};
  t.c_iflag = ICRNL | IXON | ISTRIP;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
  t.c_cflag = B38400 | CS7 | HUPCL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  return t;
}

TEST(PosixTermiosDcb, LineSettingsBecomeTermiosFlagsAndReadBackUnchanged) {
  for (std::uint8_t bits = 5; bits <= 8; ++bits) {
    for (std::uint8_t parity = 0; parity <= 4; ++parity) {
      for (const std::uint8_t stop : {kOneStopBit, kTwoStopBits}) {
        for (int flow = 0; flow < 3; ++flow) {
          SCOPED_TRACE(::testing::Message() << "bits=" << int(bits) << " parity=" << int(parity)
                                            << " stop=" << int(stop) << " flow=" << flow);
          Dcb dcb;
          dcb.BaudRate = 74880;
          dcb.ByteSize = bits;
          dcb.Parity = parity;
          dcb.fParity = parity != 0;
          dcb.StopBits = stop;
          dcb.fOutxCtsFlow = flow == 1;
          dcb.fRtsControl = flow == 1 ? kControlHandshake : kControlEnable;
          dcb.fOutX = dcb.fInX = flow == 2;
          termios2 t = cooked();
          apply_dcb(dcb, t);
          EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
          EXPECT_EQ(t.c_ospeed, 74880u);
          EXPECT_EQ(t.c_ispeed, 74880u);
          EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP), 0u);
          EXPECT_EQ(t.c_oflag & OPOST, 0u);
          EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
          EXPECT_EQ(t.c_cc[VMIN], 0);
          EXPECT_EQ(t.c_cc[VTIME], 0);
          EXPECT_NE(t.c_cflag & CREAD, 0u);
          EXPECT_NE(t.c_cflag & CLOCAL, 0u);
          EXPECT_EQ((t.c_cflag & CMSPAR) != 0, parity >= kMarkParity);
          EXPECT_EQ(dcb_from_termios(t, dcb), dcb);
        }
      }
    }
  }
}

TEST(PosixTermiosDcb, WhatTermiosCannotDoIsLeftOutOrRefused) {
  Dcb dsr;
  dsr.fOutxDsrFlow = 1;
  dsr.fDtrControl = kControlHandshake;
  termios2 t = cooked();
  apply_dcb(dsr, t);
  const Dcb back = dcb_from_termios(t, dsr);
  EXPECT_EQ(back.fOutxDsrFlow, 0);
  EXPECT_EQ(back.fDtrControl, kControlEnable);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);

  Dcb one_and_half;
  one_and_half.StopBits = kOne5StopBits;
  apply_dcb(one_and_half, t);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(dcb_from_termios(t, one_and_half).StopBits, kOne5StopBits);

  for (const auto& bad : {Dcb{.BaudRate = 0}, Dcb{.ByteSize = 9}, Dcb{.ByteSize = 4},
                          Dcb{.Parity = 5}, Dcb{.StopBits = 3}}) {
    try {
      apply_dcb(bad, t);
      FAIL() << "accepted a DCB no line can take";
    } catch (const OsError& e) {
      EXPECT_STREQ(e.what(), "(22, 'SetCommState', 'Invalid argument')");
    }
  }
}

}  // namespace
}  // namespace veltaro::portwell
