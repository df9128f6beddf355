// The Windows serial port under Wine. Without a mapped port: a port that does not exist. Run by
// tests/serial/wine_serial_check.py, which maps COM8 to a pty whose master echoes every byte
// (ZARN_WINE_TEST_COM names the port, ZARN_WINE_PEER_CONTROL the peer's control folder): the
// worker's overlapped writes, reads, Close and reopen against a real terminal device.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/serial/serial_win32_peer.h"
#include "transport/serial_port.h"

namespace zarn {
namespace {

using test::Bytes;
using test::EchoPeer;
using test::Receiver;

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

class SerialPortWin32Echo : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!peer.Present()) GTEST_SKIP() << "no echo peer (run by wine_serial_check.py)";
    receiver.Attach(port);
  }
  void TearDown() override { port.Close(); }

  bool Open(char parity = 'O', const char* stopBits = "2") {
    return port.Open(peer.PortIndex(), 115200, parity, stopBits);
  }

  EchoPeer peer;
  CSerialPort port;
  Receiver receiver;
};

// Packets go out one at a time in queue order: the echo returns them as one stream.
TEST_F(SerialPortWin32Echo, PacketsComeBackInQueueOrder) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> sizes;
  };
  const Case cases[] = {
      {"many small packets", {1, 2, 3, 5, 8, 13, 21, 34, 55, 89}},
      {"a 3000-byte frame in packets of at most 1024", {1024, 1024, 952}},
  };
  ASSERT_TRUE(Open());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    receiver.Clear();
    const Bytes sent = test::QueuePackets(port, c.sizes);
    port.RequestWrite();
    EXPECT_EQ(receiver.WaitFor(sent.size()), sent);
  }
}

TEST_F(SerialPortWin32Echo, CloseWithAWriteOutstandingReturnsAndDropsQueuedPackets) {
  ASSERT_TRUE(peer.Command("pause"));
  ASSERT_TRUE(Open());
  // Far more than the pty holds while nobody reads: a write stays outstanding.
  const std::vector<std::uint32_t> sizes(256, 1024);
  const Bytes queued = test::QueuePackets(port, sizes);
  port.RequestWrite();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto closing = std::chrono::steady_clock::now();
  EXPECT_TRUE(port.Close());
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(4));
  const std::size_t atClose = receiver.Calls();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(receiver.Calls(), atClose) << "a callback ran after Close";

  // The next opening sends its own packet; what the pty still held of the old ones may come
  // back before it, but far from everything that was queued.
  ASSERT_TRUE(peer.Command("resume"));
  receiver.Clear();
  ASSERT_TRUE(Open());
  const Bytes fresh = test::QueuePackets(port, {7});
  port.RequestWrite();
  const Bytes echoed = receiver.WaitForEnding(fresh);
  ASSERT_GE(echoed.size(), fresh.size());
  EXPECT_TRUE(std::equal(fresh.rbegin(), fresh.rend(), echoed.rbegin()));
  EXPECT_LT(echoed.size(), queued.size() / 2);
}

// Reads end when the line goes quiet: an answer with a pause in it comes in two deliveries,
// neither of them losing, repeating or reordering a byte.
TEST_F(SerialPortWin32Echo, AnAnswerSplitByAPauseArrivesWholeAndInOrder) {
  ASSERT_TRUE(Open('N', "1"));
  const Bytes first = test::QueuePackets(port, {40});
  port.RequestWrite();
  ASSERT_EQ(receiver.WaitFor(first.size()), first);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const Bytes second = test::QueuePackets(port, {3});
  port.RequestWrite();
  Bytes whole = first;
  whole.insert(whole.end(), second.begin(), second.end());
  EXPECT_EQ(receiver.WaitFor(whole.size()), whole);
  EXPECT_GE(receiver.Calls(), 2u);
}

TEST_F(SerialPortWin32Echo, EachReopeningCarriesOnlyItsOwnBytes) {
  for (std::uint32_t size : {1u, 300u, 1024u}) {
    SCOPED_TRACE(size);
    receiver.Clear();
    ASSERT_TRUE(Open(size == 300 ? 'E' : 'N', size == 1024 ? "2" : "1"));
    const Bytes sent = test::QueuePackets(port, {size});
    port.RequestWrite();
    EXPECT_EQ(receiver.WaitFor(sent.size()), sent);
    EXPECT_TRUE(port.Close());
  }
}

TEST_F(SerialPortWin32Echo, PeerHangingUpIsReportedAsAReadErrorWithoutSpinning) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(peer.Command("hangup"));
  EXPECT_TRUE(receiver.WaitForStatus(SERN_READ));
  const std::size_t reports = receiver.StatusReports();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // A dead line fails every read; the worker backs off instead of reporting in a loop.
  EXPECT_LT(receiver.StatusReports() - reports, 60u);
  EXPECT_TRUE(port.Close());
}

}  // namespace
}  // namespace zarn
