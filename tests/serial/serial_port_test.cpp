// CSerialPort against a pseudo-terminal peer: packets in order, long and blocked writes,
// Close with work outstanding, reopening, a peer that hangs up, and the line settings.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/serial/pty_peer.h"
#include "tests/support/environment.h"
#include "transport/serial_port.h"

namespace zarn {
namespace {

using test::Bytes;
using test::Pty;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 31;  // COM31, mapped to each test's own pty
constexpr std::int32_t kPortIndex = kCom - 1;

// What the port's callbacks saw.
struct Observer {
  std::mutex lock;
  Bytes received;
  std::vector<std::pair<std::int32_t, std::uint32_t>> statuses;
  std::atomic<int> callbacks{0};

  static void OnStatus(std::int32_t, std::int32_t kind, std::uint32_t value, void* context) {
    auto* self = static_cast<Observer*>(context);
    std::lock_guard guard(self->lock);
    self->statuses.emplace_back(kind, value);
    ++self->callbacks;
  }
  static void OnData(std::int32_t, const std::uint8_t* bytes, std::int32_t count, void* context) {
    auto* self = static_cast<Observer*>(context);
    std::lock_guard guard(self->lock);
    self->received.insert(self->received.end(), bytes, bytes + count);
    ++self->callbacks;
  }
  Bytes Received() {
    std::lock_guard guard(lock);
    return received;
  }
  std::size_t StatusCount() {
    std::lock_guard guard(lock);
    return statuses.size();
  }
  std::vector<std::pair<std::int32_t, std::uint32_t>> Statuses() {
    std::lock_guard guard(lock);
    return statuses;
  }
  // Waits until count bytes have come in.
  bool AwaitReceived(std::size_t count, int maxMs = 5000) {
    const auto start = Clock::now();
    while (Received().size() < count) {
      if (Clock::now() - start > std::chrono::milliseconds(maxMs)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
};

class SerialPortTest : public testing::Test {
 protected:
  SerialPortTest() {
    pty.MapAsCom(kCom);
    port.statusCallback = &Observer::OnStatus;
    port.dataCallback = &Observer::OnData;
    port.callbackContext = &observer;
  }

  // Queues packets of the given sizes, packet i filled with a counting pattern starting at i.
  Bytes QueuePackets(const std::vector<std::uint32_t>& sizes) {
    Bytes all;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      Bytes packet(sizes[i]);
      for (std::uint32_t j = 0; j < sizes[i]; ++j)
        packet[j] = static_cast<std::uint8_t>(i * 7 + j);
      EXPECT_TRUE(port.writeQueue.Append(AllocateWritePacket(packet.data(), sizes[i])));
      all.insert(all.end(), packet.begin(), packet.end());
    }
    port.RequestWrite();
    return all;
  }

  Pty pty;
  Observer observer;
  CSerialPort port;
};

TEST_F(SerialPortTest, WritesPacketsInQueueOrder) {
  ASSERT_TRUE(port.Open(kPortIndex, 9600, 'N', "1"));
  const Bytes sent = QueuePackets({5, 1, 300, 2});
  EXPECT_EQ(pty.ReadExactly(sent.size()), sent);
  // A second request after the first batch is served as well.
  const Bytes more = QueuePackets({3});
  EXPECT_EQ(pty.ReadExactly(more.size()), more);
  EXPECT_EQ(observer.StatusCount(), 0u);
}

// More than the pty takes at once: the worker waits for room and goes on in order.
TEST_F(SerialPortTest, LongWriteArrivesWholeAndInOrder) {
  ASSERT_TRUE(port.Open(kPortIndex, 115200, 'N', "1"));
  const Bytes sent = QueuePackets(std::vector<std::uint32_t>(160, 1024));
  EXPECT_EQ(pty.ReadExactly(sent.size(), 10000), sent);
}

// With the worker running, the producer writes on its own thread until the line is full and
// leaves the rest of the packet to the worker; a request made while the worker holds that
// packet goes to the worker as well. Every byte arrives once and in order.
TEST_F(SerialPortTest, AFullLineHandsTheRestToTheWorkerInOrder) {
  ASSERT_TRUE(port.Open(kPortIndex, 115200, 'N', "1"));
  Bytes sent = QueuePackets({1});  // the worker has started once this byte is out
  ASSERT_EQ(pty.ReadExactly(1), sent);
  std::vector<std::uint32_t> sizes{1000, 3};
  sizes.insert(sizes.end(), 200, 1023);  // far more than the pty holds
  sent = QueuePackets(sizes);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const Bytes more = QueuePackets({7, 513});
  sent.insert(sent.end(), more.begin(), more.end());
  EXPECT_EQ(pty.ReadExactly(sent.size(), 10000), sent);
  EXPECT_EQ(observer.StatusCount(), 0u);
}

TEST_F(SerialPortTest, ReceivedBytesReachTheCallback) {
  ASSERT_TRUE(port.Open(kPortIndex, 9600, 'N', "1"));
  // The worker discards what is pending when it starts; once it has written, it runs.
  const Bytes sent = QueuePackets({1});
  ASSERT_EQ(pty.ReadExactly(1), sent);
  const Bytes bytes{0xFD, 0x00, 0x11, 0xFE, 0x00};
  pty.Write(bytes);
  ASSERT_TRUE(observer.AwaitReceived(bytes.size()));
  EXPECT_EQ(observer.Received(), bytes);
}

TEST_F(SerialPortTest, CloseWithQueuedPacketsReturnsAndReleasesThem) {
  ASSERT_TRUE(port.Open(kPortIndex, 9600, 'N', "1"));
  // Nobody reads the master: the worker blocks on a full line with packets still queued.
  QueuePackets(std::vector<std::uint32_t>(200, 1024));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  EXPECT_TRUE(port.Close());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  const int callbacksAtClose = observer.callbacks;
  EXPECT_EQ(port.writeQueue.TakeFirst(), nullptr);
  SERIAL_WRITE_PACKET* refused = AllocateWritePacket(Bytes{1}.data(), 1);
  EXPECT_FALSE(port.writeQueue.Append(refused)) << "a closed port's queue takes nothing";
  ReleaseWritePacket(refused);
  pty.Write({0x01, 0x02});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(observer.callbacks, callbacksAtClose) << "no callback after Close";
  EXPECT_FALSE(port.Close());
}

TEST_F(SerialPortTest, OpenOnAnOpenPortFailsAndLeavesItRunning) {
  ASSERT_TRUE(port.Open(kPortIndex, 9600, 'N', "1"));
  EXPECT_FALSE(port.Open(kPortIndex, 19200, 'E', "2"));
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.baudRate, 9600);
  const Bytes sent = QueuePackets({4});
  EXPECT_EQ(pty.ReadExactly(sent.size()), sent);
}

TEST_F(SerialPortTest, ReopenStartsAFreshWorkerAndDropsEarlierPackets) {
  // Appended before the first Open: released by Open, never sent.
  const Bytes early{0x55, 0x66};
  ASSERT_TRUE(port.writeQueue.Append(AllocateWritePacket(early.data(), 2)));
  for (int opening = 0; opening < 3; ++opening) {
    SCOPED_TRACE(opening);
    ASSERT_TRUE(port.Open(kPortIndex, 9600, 'O', "1"));
    const Bytes sent = QueuePackets({3});
    EXPECT_EQ(pty.ReadUntilQuiet(50), sent);
    pty.Write({static_cast<std::uint8_t>(opening)});
    ASSERT_TRUE(observer.AwaitReceived(static_cast<std::size_t>(opening + 1)));
    EXPECT_TRUE(port.Close());
  }
  EXPECT_EQ(observer.Received(), (Bytes{0, 1, 2}));
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(SerialPortTest, PeerHangingUpIsReportedOnceWithoutSpinning) {
  ASSERT_TRUE(port.Open(kPortIndex, 9600, 'N', "1"));
  pty.CloseMaster();
  const auto start = Clock::now();
  while (observer.StatusCount() == 0 && Clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(observer.StatusCount(), 1u);
  EXPECT_EQ(observer.Statuses()[0].first, SERN_READ);
  EXPECT_NE(observer.Statuses()[0].second, 0u);

  const double cpuBefore = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.25) << "the worker spins on a dead line";
  EXPECT_EQ(observer.StatusCount(), 1u) << "a lasting condition is reported once";

  // A write to the dead line fails and is reported; Close still returns.
  QueuePackets({2});
  const auto writeStart = Clock::now();
  while (observer.StatusCount() < 2 && Clock::now() - writeStart < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(observer.StatusCount(), 2u);
  EXPECT_EQ(observer.Statuses()[1].first, SERN_WRITE);
  EXPECT_TRUE(port.Close());
}

TEST_F(SerialPortTest, LineSettingsReachTheDevice) {
  struct Setting {
    char parity;
    const char* stopBits;
    std::int32_t baud;
    speed_t speed;
    bool odd;
    bool twoStopBits;
  };
  // Odd parity twice in a row is the case where a pty's tcsetattr reports EINVAL.
  const Setting settings[] = {{'N', "1", 9600, B9600, false, false},
                              {'O', "1", 19200, B19200, true, false},
                              {'O', "1", 19200, B19200, true, false},
                              {'E', "2", 115200, B115200, false, true},
                              {'O', "2", 57600, B57600, true, true}};
  for (const Setting& s : settings) {
    SCOPED_TRACE(testing::Message() << s.parity << "/" << s.stopBits << " " << s.baud);
    ASSERT_TRUE(port.Open(kPortIndex, s.baud, s.parity, s.stopBits));
    const termios seen = pty.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&seen), s.speed);
    EXPECT_EQ((seen.c_cflag & PARODD) != 0, s.odd);
    EXPECT_EQ((seen.c_cflag & CSTOPB) != 0, s.twoStopBits);
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_TRUE(port.Close());
  }
  // A rate outside the standard table.
  EXPECT_TRUE(port.Open(kPortIndex, 250000, 'N', "1"));
  EXPECT_TRUE(port.Close());
}

// The step that failed and the system's error, for the reason line of the run.
void ExpectFailure(const CSerialPort& port, LinkStep step, int error) {
  EXPECT_EQ(port.lastFailure.step, step);
  EXPECT_EQ(port.lastFailure.osError, static_cast<std::uint32_t>(error));
}

TEST_F(SerialPortTest, RefusesWhatItCannotOpen) {
  EXPECT_FALSE(port.Open(kPortIndex, 9600, 'X', "1"));
  ExpectFailure(port, LinkStep::kSetUp, EINVAL);
  EXPECT_FALSE(port.Open(kPortIndex, 9600, 'N', "1.5"));
  ExpectFailure(port, LinkStep::kSetUp, EINVAL);
  EXPECT_FALSE(port.Open(kPortIndex, 0, 'N', "1"));
  ExpectFailure(port, LinkStep::kSetUp, EINVAL);
  test::SetEnvironment("ZARN_COM32", "/nonexistent/zarn-no-such-port");
  EXPECT_FALSE(port.Open(kPortIndex + 1, 9600, 'N', "1"));
  ExpectFailure(port, LinkStep::kOpen, ENOENT);
  EXPECT_FALSE(port.IsOpen());
  SERIAL_WRITE_PACKET* refused = AllocateWritePacket(Bytes{1}.data(), 1);
  EXPECT_FALSE(port.writeQueue.Append(refused)) << "a failed Open leaves the queue disabled";
  ReleaseWritePacket(refused);
  EXPECT_FALSE(port.Close());

  // The port is held exclusively while open.
  ASSERT_TRUE(port.Open(kPortIndex, 9600, 'N', "1"));
  ExpectFailure(port, LinkStep::kNone, 0);
  CSerialPort second;
  EXPECT_FALSE(second.Open(kPortIndex, 9600, 'N', "1"));
  ExpectFailure(second, LinkStep::kOpen, EBUSY);
  EXPECT_TRUE(port.Close());
  EXPECT_TRUE(second.Open(kPortIndex, 9600, 'N', "1"));
  ExpectFailure(second, LinkStep::kNone, 0);
}

}  // namespace
}  // namespace zarn
