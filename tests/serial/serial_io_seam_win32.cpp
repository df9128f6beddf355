// Drivers that misbehave, through the worker's I/O seam (serial_backend_win32.h), on the echo
// peer's pty under Wine: a read whose completion is lost, and a write that completes long after
// Close gave up on it.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/serial/serial_win32_peer.h"
#include "transport/serial_backend_win32.h"

namespace zarn {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr ULONG_PTR kStatusCancelled = 0xC0000120;  // how a cancelled read ends

struct SeamGuard {
  SerialIoSeam saved = SerialIo();
  ~SeamGuard() { SerialIo() = saved; }
};

template <typename Condition>
bool WaitUntil(Condition condition) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

// --- A read that takes an answer and never completes until it is cancelled (as Wine's do) ---

const std::uint8_t kHeldAnswer[] = {0x7E, 0x11, 0x05, 0x00, 0x00, 0x12, 0x34, 0x7F};
std::atomic<OVERLAPPED*> heldRead{nullptr};
std::atomic<std::uint8_t*> heldBuffer{nullptr};
std::atomic<int> readsIssued{0};
const SerialIoSeam kRealIo = SerialIo();

int __stdcall HoldingFirstReadFile(void* port, void* buffer, unsigned long length,
                                   unsigned long* read, void* overlapped) {
  if (readsIssued++ != 0) return kRealIo.readFile(port, buffer, length, read, overlapped);
  heldBuffer = static_cast<std::uint8_t*>(buffer);
  std::memcpy(buffer, kHeldAnswer, sizeof kHeldAnswer);
  heldRead = static_cast<OVERLAPPED*>(overlapped);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

int __stdcall CancelHeldRead(void* port, void* overlapped) {
  OVERLAPPED* held = heldRead.exchange(nullptr);
  if (held == nullptr || held != overlapped)
    return CancelIoEx(port, static_cast<OVERLAPPED*>(overlapped));
  held->Internal = kStatusCancelled;
  held->InternalHigh = sizeof kHeldAnswer;
  SetEvent(held->hEvent);
  return TRUE;
}

TEST(SerialPortWin32Seam, AnAnswerHeldByALostReadArrivesOnceTheReadIsCancelled) {
  test::EchoPeer peer;
  if (!peer.Present()) GTEST_SKIP() << "no echo peer (run by wine_serial_check.py)";
  SeamGuard guard;
  SerialIo().readFile = HoldingFirstReadFile;
  SerialIo().cancelIoEx = CancelHeldRead;
  CSerialPort port;
  test::Receiver receiver;
  receiver.Attach(port);
  const auto opened = steady_clock::now();
  ASSERT_TRUE(port.Open(peer.PortIndex(), 115200, 'N', "1"));
  const test::Bytes answer(std::begin(kHeldAnswer), std::end(kHeldAnswer));
  EXPECT_EQ(receiver.WaitFor(answer.size()), answer);
  // Well within an exchange's 1010 ms, and only after the read was given up on.
  const auto waited = steady_clock::now() - opened;
  EXPECT_GE(waited, milliseconds(90));
  EXPECT_LT(waited, milliseconds(600));
  // The next read is a real one again: the echo comes through it.
  receiver.Clear();
  const test::Bytes sent = test::QueuePackets(port, {5});
  port.RequestWrite();
  EXPECT_EQ(receiver.WaitFor(sent.size()), sent);
  EXPECT_TRUE(port.Close());
}

// --- A write completed late, after Close and the next Open ---

std::atomic<OVERLAPPED*> heldWrite{nullptr};

int __stdcall HoldingWriteFile(void*, const void*, unsigned long, unsigned long*,
                               void* overlapped) {
  heldWrite = static_cast<OVERLAPPED*>(overlapped);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

TEST(SerialPortWin32Seam, AWriteCompletedAfterCloseLeavesTheNextOpeningAlone) {
  test::EchoPeer peer;
  if (!peer.Present()) GTEST_SKIP() << "no echo peer (run by wine_serial_check.py)";
  CSerialPort port;
  test::Receiver receiver;
  receiver.Attach(port);
  {
    SeamGuard guard;
    // The held write ignores the cancel, as a poor driver's might; the rest is cancelled.
    SerialIo().writeFile = HoldingWriteFile;
    ASSERT_TRUE(port.Open(peer.PortIndex(), 115200, 'N', "1"));
    test::QueuePackets(port, {16});
    port.RequestWrite();
    ASSERT_TRUE(WaitUntil([] { return heldWrite != nullptr; }));
    EXPECT_TRUE(port.Close());  // waits for the held write, then leaves it to the driver
  }

  ASSERT_TRUE(port.Open(peer.PortIndex(), 115200, 'N', "1"));
  // An echo first: the new opening's worker is in its loop before the late completion.
  receiver.Clear();
  const test::Bytes first = test::QueuePackets(port, {3});
  port.RequestWrite();
  ASSERT_EQ(receiver.WaitFor(first.size()), first);
  // The driver completes the old write now, into the record and event it was given.
  OVERLAPPED* late = heldWrite;
  late->Internal = 0;
  late->InternalHigh = 16;
  SetEvent(late->hEvent);
  std::this_thread::sleep_for(milliseconds(50));

  // The new opening's worker neither woke for it nor lost its own writes.
  receiver.Clear();
  const test::Bytes sent = test::QueuePackets(port, {1, 64, 1024});
  port.RequestWrite();
  EXPECT_EQ(receiver.WaitFor(sent.size()), sent);
  EXPECT_TRUE(port.Close());
}

}  // namespace
}  // namespace zarn
