// The Windows serial port under Wine, as far as Wine lets it run: a port that does not exist,
// and (when ZARN_WINE_TEST_COM names a COM port that Wine maps to a pty) a real open.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "transport/serial_port.h"

namespace zarn {
namespace {

SERIAL_WRITE_PACKET* OneBytePacket() {
  const std::uint8_t byte = 0x55;
  return AllocateWritePacket(&byte, 1);
}

TEST(SerialPortWin32, MissingPortFailsToOpenAndLeavesTheQueueDisabled) {
  CSerialPort port;
  // COM250: nothing is ever mapped there.
  EXPECT_FALSE(port.Open(249, 9600, 'N', "1"));
  EXPECT_FALSE(port.IsOpen());
  SERIAL_WRITE_PACKET* packet = OneBytePacket();
  EXPECT_FALSE(port.writeQueue.Append(packet));
  ReleaseWritePacket(packet);
  EXPECT_FALSE(port.Close());
}

TEST(SerialPortWin32, PacketAppendedBeforeOpenIsDroppedByOpen) {
  CSerialPort port;
  ASSERT_TRUE(port.writeQueue.Append(OneBytePacket()));
  EXPECT_FALSE(port.Open(249, 9600, 'N', "1"));
  EXPECT_EQ(port.writeQueue.TakeFirst(), nullptr);
}

// Run by tests/serial/wine_pty_check.sh, which maps a COM port to a pty and names it in
// ZARN_WINE_TEST_COM. Wine refuses the RTS-toggling line settings on a pty, so there the open
// fails at its last step; either way it must end cleanly, and a port that opens must close.
TEST(SerialPortWin32, PortMappedToAPty) {
  const char* com = std::getenv("ZARN_WINE_TEST_COM");
  if (com == nullptr) GTEST_SKIP() << "ZARN_WINE_TEST_COM is not set";
  CSerialPort port;
  const bool opened = port.Open(std::atoi(com) - 1, 9600, 'O', "1");
  std::printf("COM%s %s\n", com, opened ? "opened" : "refused by the driver");
  EXPECT_EQ(port.IsOpen(), opened);
  if (opened) {
    ASSERT_TRUE(port.writeQueue.Append(OneBytePacket()));
    port.RequestWrite();
  }
  EXPECT_EQ(port.Close(), opened);
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace zarn
