// Drivers that misbehave, through the worker's I/O seam (serial_backend_win32.h), on the echo
// peer's pty under Wine: a read whose completion is lost, a read cancelled the way a driver
// with buffered I/O cancels it, a read that ignores the cancel until its handle is closed, and
// a write that completes long after Close gave up on it.

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

// A port on the echo peer's pty with the seam restored after the test (after the port, which
// closes with the test's seam still in place).
class SerialPortWin32Seam : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!peer.Present()) GTEST_SKIP() << "no echo peer (run by wine_serial_check.py)";
    receiver.Attach(port);
  }
  bool Open(std::int32_t baud = 115200, char parity = 'N', const char* stopBits = "1") {
    return port.Open(peer.PortIndex(), baud, parity, stopBits);
  }

  test::EchoPeer peer;
  SeamGuard guard;
  CSerialPort port;
  test::Receiver receiver;
};

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

// Under Wine (reads land in place) the worker gives up on a read after ten read time-outs,
// and what the driver had put in its buffer arrives.
TEST_F(SerialPortWin32Seam, AnAnswerHeldByALostReadArrivesOnceTheReadIsCancelled) {
  SerialIo().readFile = HoldingFirstReadFile;
  SerialIo().cancelIoEx = CancelHeldRead;
  SerialIo().readsLandInPlace = true;
  for (const std::uint32_t readTimeoutMs : {10u, 40u}) {
    SCOPED_TRACE(readTimeoutMs);
    readsIssued = 0;
    receiver.Clear();
    port.readTotalTimeout = readTimeoutMs;
    const auto opened = steady_clock::now();
    ASSERT_TRUE(Open());
    const test::Bytes answer(std::begin(kHeldAnswer), std::end(kHeldAnswer));
    EXPECT_EQ(receiver.WaitFor(answer.size()), answer);
    // Only after the read was given up on, and well within an exchange's 1010 ms at 10 ms.
    const auto waited = steady_clock::now() - opened;
    EXPECT_GE(waited, milliseconds(9 * readTimeoutMs));
    EXPECT_LT(waited, milliseconds(10 * readTimeoutMs + 500));
    // The next read is a real one again: the echo comes through it.
    receiver.Clear();
    const test::Bytes sent = test::QueuePackets(port, {5});
    port.RequestWrite();
    EXPECT_EQ(receiver.WaitFor(sent.size()), sent);
    EXPECT_TRUE(port.Close());
  }
}

// Where reads do not land in place, an outstanding read is the driver's until it completes:
// the worker never cancels it, so it cannot lose bytes the driver has taken.
TEST_F(SerialPortWin32Seam, WithBufferedReadsAnOutstandingReadIsNeverCancelledByTheWorker) {
  readsIssued = 0;
  SerialIo().readFile = HoldingFirstReadFile;
  SerialIo().cancelIoEx = CancelHeldRead;
  SerialIo().readsLandInPlace = false;
  ASSERT_TRUE(Open());
  std::this_thread::sleep_for(milliseconds(400));
  EXPECT_NE(heldRead.load(), nullptr) << "the worker cancelled the read";
  EXPECT_EQ(receiver.Calls(), 0u);
  // The driver completes it at last, with what it copied back: the answer arrives.
  OVERLAPPED* held = heldRead.exchange(nullptr);
  ASSERT_NE(held, nullptr);
  held->Internal = 0;
  held->InternalHigh = sizeof kHeldAnswer;
  SetEvent(held->hEvent);
  const test::Bytes answer(std::begin(kHeldAnswer), std::end(kHeldAnswer));
  EXPECT_EQ(receiver.WaitFor(answer.size()), answer);
  EXPECT_TRUE(port.Close());
}

// --- A read cancelled by a driver with buffered I/O: nothing copied back, a stale count ---

std::atomic<int> readsSeen{0};

int __stdcall CancelledByBufferedDriverReadFile(void* port, void* buffer, unsigned long length,
                                                unsigned long* read, void* overlapped) {
  if (readsSeen++ != 0) return kRealIo.readFile(port, buffer, length, read, overlapped);
  auto* record = static_cast<OVERLAPPED*>(overlapped);
  record->Internal = kStatusCancelled;
  record->InternalHigh = 8;  // what a driver may leave there; the buffer was never written
  SetEvent(record->hEvent);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

TEST_F(SerialPortWin32Seam, ACancelledReadOfABufferedDriverDeliversNothing) {
  readsSeen = 0;
  SerialIo().readFile = CancelledByBufferedDriverReadFile;
  SerialIo().readsLandInPlace = false;
  ASSERT_TRUE(Open());
  EXPECT_TRUE(receiver.WaitForStatus(SERN_READ));  // the abort is a link condition here
  const test::Bytes sent = test::QueuePackets(port, {5});
  port.RequestWrite();
  // The echo alone: no stale bytes of the cancelled read before it.
  EXPECT_EQ(receiver.WaitFor(sent.size()), sent);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(receiver.WaitFor(0), sent);
  EXPECT_TRUE(port.Close());
}

// --- A read that ignores the cancel and ends only when its handle is closed ---

// Windows lets a thread end only once the I/O it issued has completed. A fiber-local value's
// callback runs as the thread ends; this one holds the thread until the held read completes,
// as Windows does (bounded, so that a worker that closes in the wrong order shows as slow).
HANDLE heldReadCompleted = nullptr;
DWORD threadEndGuard = FLS_OUT_OF_INDEXES;
std::atomic<OVERLAPPED*> readHeldUntilClose{nullptr};
std::atomic<bool> closedWithReadHeld{false};

void WINAPI HoldThreadEndUntilReadCompletes(void* value) {
  if (value != nullptr) WaitForSingleObject(heldReadCompleted, 15000);
}

int __stdcall ReadIgnoringCancelFile(void* port, void* buffer, unsigned long length,
                                     unsigned long* read, void* overlapped) {
  if (readHeldUntilClose != nullptr)
    return kRealIo.readFile(port, buffer, length, read, overlapped);
  FlsSetValue(threadEndGuard, &threadEndGuard);
  readHeldUntilClose = static_cast<OVERLAPPED*>(overlapped);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

// Closing the handle is what makes a driver complete what it still holds.
int __stdcall CloseCompletingTheHeldRead(void* port) {
  if (OVERLAPPED* held = readHeldUntilClose.exchange(nullptr)) {
    closedWithReadHeld = true;
    held->Internal = kStatusCancelled;
    held->InternalHigh = 0;
    SetEvent(held->hEvent);
    SetEvent(heldReadCompleted);
  }
  return kRealIo.closePort(port);
}

TEST_F(SerialPortWin32Seam, CloseEndsPromptlyWhenADriverHoldsAReadUntilItsHandleCloses) {
  heldReadCompleted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  threadEndGuard = FlsAlloc(HoldThreadEndUntilReadCompletes);
  ASSERT_NE(threadEndGuard, FLS_OUT_OF_INDEXES);
  // The worker's CancelIo is the system's, which knows nothing of the held read.
  SerialIo().readFile = ReadIgnoringCancelFile;
  SerialIo().closePort = CloseCompletingTheHeldRead;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(WaitUntil([] { return readHeldUntilClose != nullptr; }));
  const auto closing = steady_clock::now();
  EXPECT_TRUE(port.Close());
  // The cancel's grace, then the handle, then the thread: seconds, not the thread's whole hold.
  EXPECT_LT(steady_clock::now() - closing, std::chrono::seconds(5));
  EXPECT_TRUE(closedWithReadHeld);
  EXPECT_EQ(receiver.Calls(), 0u);
  FlsFree(threadEndGuard);
  CloseHandle(heldReadCompleted);
}

// --- The read time-outs, as the driver was given them, and reads on a silent line ---

std::atomic<int> silentReads{0};
COMMTIMEOUTS timeoutsSeen{};

int __stdcall CountingReadFile(void* port, void* buffer, unsigned long length, unsigned long* read,
                               void* overlapped) {
  if (silentReads++ == 0) GetCommTimeouts(port, &timeoutsSeen);
  return kRealIo.readFile(port, buffer, length, read, overlapped);
}

TEST_F(SerialPortWin32Seam, ReadsEndWhenTheLineGoesQuietAndWithinTheirTimeOutWhenSilent) {
  const struct {
    std::int32_t baud;
    char parity;
    const char* stopBits;
    DWORD intervalMs;  // about three character times, at least 1 ms
  } cases[] = {
      {115200, 'N', "1", 1}, {9600, 'N', "1", 4}, {1200, 'N', "1", 25}, {1200, 'E', "2", 30}};
  SerialIo().readFile = CountingReadFile;
  for (const auto& line : cases) {
    SCOPED_TRACE(line.baud);
    silentReads = 0;
    ASSERT_TRUE(Open(line.baud, line.parity, line.stopBits));
    std::this_thread::sleep_for(milliseconds(300));
    const int reads = silentReads;
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(timeoutsSeen.ReadIntervalTimeout, line.intervalMs);
    EXPECT_EQ(timeoutsSeen.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeoutsSeen.ReadTotalTimeoutConstant, 10u);
    // Each read on the silent line ended at its 10 ms, not at the lost-read guard or never.
    EXPECT_GT(reads, 10);
  }
}

// --- A write completed late, after Close and the next Open ---

std::atomic<OVERLAPPED*> heldWrite{nullptr};

int __stdcall HoldingWriteFile(void*, const void*, unsigned long, unsigned long*,
                               void* overlapped) {
  heldWrite = static_cast<OVERLAPPED*>(overlapped);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

TEST_F(SerialPortWin32Seam, AWriteCompletedAfterCloseLeavesTheNextOpeningAlone) {
  // The held write ignores the cancel, as a poor driver's might; the rest is cancelled.
  SerialIo().writeFile = HoldingWriteFile;
  ASSERT_TRUE(Open());
  test::QueuePackets(port, {16});
  port.RequestWrite();
  ASSERT_TRUE(WaitUntil([] { return heldWrite != nullptr; }));
  EXPECT_TRUE(port.Close());  // waits for the held write, then leaves it to the driver
  SerialIo().writeFile = kRealIo.writeFile;

  ASSERT_TRUE(Open());
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
