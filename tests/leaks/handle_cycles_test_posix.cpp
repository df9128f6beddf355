// Opening and closing the serial port and the USB driver channel a thousand times leaves no
// descriptor and no thread behind: each serial opening starts a worker and owns the device,
// its wake-ups and its line settings; each channel opening owns a driver connection.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/serial/pty_peer.h"
#include "tests/usb/fake_usb_driver.h"
#include "transport/serial_port.h"
#include "transport/usb_channel.h"

namespace zarn {
namespace {

constexpr int kCycles = 1000;
constexpr int kCom = 41;

std::size_t CountEntries(const char* folder) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    (void)entry;
    ++count;
  }
  return count;
}

struct Handles {
  std::size_t descriptors = CountEntries("/proc/self/fd");
  std::size_t threads = CountEntries("/proc/self/task");
};

TEST(HandleCycles, SerialPortOpenedAndClosedAThousandTimes) {
  test::Pty pty;
  pty.MapAsCom(kCom);
  CSerialPort port;
  // One cycle first: the first thread a process starts may bring a runtime's own helper
  // thread with it (ThreadSanitizer's), which is not the port's to close.
  ASSERT_TRUE(port.Open(kCom - 1, 9600, 'N', "1"));
  ASSERT_TRUE(port.Close());
  const Handles before;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    ASSERT_TRUE(port.Open(kCom - 1, 9600, cycle % 2 == 0 ? 'N' : 'O', "1")) << "cycle " << cycle;
    if (cycle == 0) {  // the counts do see what an opening holds: its worker and its device
      const Handles open;
      EXPECT_EQ(open.threads, before.threads + 1);
      EXPECT_GT(open.descriptors, before.descriptors);
    }
    ASSERT_TRUE(port.Close()) << "cycle " << cycle;
  }
  const Handles after;
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
}

TEST(HandleCycles, UsbChannelOpenedAndClosedAThousandTimes) {
  test::UsbInterfaceDirectory interfaces;
  test::FakeUsbDriver reader(interfaces, "reader");
  CIOUSB channel;
  const Handles before;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    ASSERT_TRUE(channel.Open(0)) << "cycle " << cycle;
    if (cycle == 0) {
      EXPECT_GT(Handles().descriptors, before.descriptors);  // the driver connection
    }
    ASSERT_TRUE(channel.Close()) << "cycle " << cycle;
  }
  // The driver's ends of the connections close once it has seen each hang up.
  ASSERT_TRUE(reader.AwaitEndedConnections(kCycles));
  const Handles after;
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
}

}  // namespace
}  // namespace zarn
