// The USB channel's I/O controls on Windows against a scripted driver: completion at once and
// later, failures, the bounded wait, the cancel and its 996, output a driver over-reports, and
// controls that complete after the channel gave up on them. The tests' driver under Wine
// (tests/usb/driver) completes every control later and honours every cancel; the other
// behaviours are no driver's here. Completions go through real Win32 events and the system's
// GetOverlappedResult, which reads the OVERLAPPED record the scripted driver fills in as a driver
// would.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/transfer.h"
#include "transport/usb_channel_platform.h"
#include "transport/usb_io_calls.h"

namespace zarn {
namespace {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusPending = 0x103;
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009D);

enum class Completes {
  kAtOnce,
  kFailsAtOnce,
  kLater,
  kOnCancel,
  kWhenReleased,        // ignores the cancel; completes only when the test releases it
  kAfterReleasingHeld,  // first completes the held controls, then itself 100 ms later
};

// What the scripted driver does with the next control.
struct Script {
  Completes completes = Completes::kAtOnce;
  std::string_view answer;       // output bytes written
  DWORD reported = 0;            // byte count reported; 0 = the answer's length
  LONG status = kStatusSuccess;  // completion status of a later completion
  DWORD error = 0;               // the error of a control that fails at once
};

struct Control {
  OVERLAPPED* overlapped;
  std::uint8_t* output;
  std::uint32_t capacity;
  Script script;
};

// Plays the driver: one script per control, completions from its own thread.
class ScriptedDriver {
 public:
  std::vector<Script> scripts;
  // Set by a completion: whether SetEvent on the control's event succeeded.
  std::vector<bool> signalled;
  int cancels = 0;

  bool Issue(std::uint8_t* output, std::uint32_t capacity, std::uint32_t* returned,
             OVERLAPPED* overlapped) {
    const Script script = scripts.at(issued_++);
    ResetEvent(overlapped->hEvent);  // as the system does when a control starts
    Control control{overlapped, output, capacity, script};
    switch (script.completes) {
      case Completes::kAtOnce:
        *returned = Fill(control);
        return true;
      case Completes::kFailsAtOnce:
        SetLastError(script.error);
        return false;
      case Completes::kLater:
        Pend(control);
        threads_.emplace_back([this, control] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          Complete(control, control.script.status);
        });
        break;
      case Completes::kOnCancel:
        Pend(control);
        waitingForCancel_.push_back(control);
        break;
      case Completes::kWhenReleased:
        Pend(control);
        held_.push_back(control);
        break;
      case Completes::kAfterReleasingHeld:
        Pend(control);
        threads_.emplace_back([this, control, held = std::move(held_)] {
          for (const Control& stale : held)
            Complete(stale, kStatusSuccess);
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          Complete(control, kStatusSuccess);
        });
        held_.clear();
        break;
    }
    SetLastError(ERROR_IO_PENDING);
    return false;
  }

  void Cancel() {
    ++cancels;
    for (const Control& control : waitingForCancel_)
      Complete(control, kStatusCancelled);
    waitingForCancel_.clear();
  }

  // Completes the held controls now, as a driver that ignored the cancel finally does.
  void ReleaseHeld() {
    for (const Control& control : held_)
      Complete(control, kStatusSuccess);
    held_.clear();
  }

  void Join() {
    for (std::thread& thread : threads_)
      thread.join();
    threads_.clear();
  }

 private:
  static DWORD Fill(const Control& control) {
    const DWORD written =
        std::min<DWORD>(static_cast<DWORD>(control.script.answer.size()), control.capacity);
    if (written > 0) std::memcpy(control.output, control.script.answer.data(), written);
    return control.script.reported != 0 ? control.script.reported : written;
  }

  static void Pend(const Control& control) { control.overlapped->Internal = kStatusPending; }

  void Complete(const Control& control, LONG status) {
    // A failed control copies nothing, but a driver may leave a count in the record.
    control.overlapped->InternalHigh =
        status == kStatusSuccess ? Fill(control) : control.script.reported;
    control.overlapped->Internal = status;
    const bool set = SetEvent(control.overlapped->hEvent) != 0;
    std::lock_guard<std::mutex> hold(lock_);
    signalled.push_back(set);
  }

  std::size_t issued_ = 0;
  std::vector<Control> waitingForCancel_;
  std::vector<Control> held_;
  std::vector<std::thread> threads_;
  std::mutex lock_;
};

ScriptedDriver* driver = nullptr;

bool DeviceIoControlCall(void*, std::uint32_t, void*, std::uint32_t, void* output,
                         std::uint32_t capacity, std::uint32_t* returned, void* overlapped) {
  return driver->Issue(static_cast<std::uint8_t*>(output), capacity, returned,
                       static_cast<OVERLAPPED*>(overlapped));
}

bool CancelIoCall(void*) {
  driver->Cancel();
  return true;
}

const UsbIoCalls kScriptedCalls{DeviceIoControlCall, CancelIoCall};

class IoControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char directory[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, directory);
    path_ = std::string(directory) + "zarn-usb-io.dev";
    CloseHandle(CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::uint32_t error = 0;
    ASSERT_EQ(OpenUsbDevice(path_.c_str(), device_, &error), UsbOpenOutcome::kOpened) << error;
    driver = &driver_;
    UseUsbIoCalls(&kScriptedCalls);
  }
  void TearDown() override {
    driver_.ReleaseHeld();
    driver_.Join();
    UseUsbIoCalls(nullptr);
    driver = nullptr;
    device_.reset();
    DeleteFileA(path_.c_str());
  }

  struct Outcome {
    std::uint32_t result;
    std::string output;
  };
  Outcome Transceive(std::uint32_t timeoutMs, std::uint32_t capacity = 1024) {
    const std::uint8_t request[] = {'d'};
    std::vector<std::uint8_t> output(capacity);
    std::uint32_t length = 0xDEAD;
    const std::uint32_t result = UsbIoControl(*device_, 0x2A0018, request, sizeof request,
                                              output.data(), capacity, &length, timeoutMs);
    EXPECT_LE(length, capacity);
    return {result, std::string(output.begin(), output.begin() + std::min(length, capacity))};
  }

  ScriptedDriver driver_;
  UsbDeviceHandle device_;
  std::string path_;
};

TEST_F(IoControlTest, ResultsAndOutputOfOneControl) {
  const struct {
    const char* name;
    Script script;
    std::uint32_t result;
    std::string_view output;
  } cases[] = {
      {"at once",
       {Completes::kAtOnce, std::string_view("\0\x01\x02", 3)},
       0,
       std::string_view("\0\x01\x02", 3)},
      {"at once, empty", {Completes::kAtOnce, ""}, 0, ""},
      {"fails at once", {Completes::kFailsAtOnce, "xx", 0, 0, ERROR_GEN_FAILURE}, 31, ""},
      {"later",
       {Completes::kLater, std::string_view("\0later", 6)},
       0,
       std::string_view("\0later", 6)},
      {"fails later", {Completes::kLater, "", 0, kStatusDeviceNotConnected}, 1167, ""},
      {"fails later, a count left in the record",
       {Completes::kLater, "", 6, kStatusDeviceNotConnected},
       1167,
       ""},
      {"never, cancelled", {Completes::kOnCancel, "lost"}, 996, ""},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.name);
    ScriptedDriver scripted;
    scripted.scripts = {one.script};
    driver = &scripted;
    const Outcome outcome = Transceive(200);
    scripted.Join();
    EXPECT_EQ(outcome.result, one.result);
    EXPECT_EQ(outcome.output, one.output);
    EXPECT_EQ(scripted.cancels, one.script.completes == Completes::kOnCancel ? 1 : 0);
  }
  driver = &driver_;
}

TEST_F(IoControlTest, OutputIsClippedToTheRoomGivenWhateverTheDriverReports) {
  driver_.scripts = {{Completes::kAtOnce, "abcdef", 4096}, {Completes::kLater, "ghijkl", 4096}};
  EXPECT_EQ(Transceive(200, 4).output, "abcd");
  const Outcome later = Transceive(500, 4);
  EXPECT_EQ(later.result, 0u);
  EXPECT_EQ(later.output, "ghij");
}

TEST_F(IoControlTest, AControlAfterACancelledOneWaitsForItsOwnCompletion) {
  driver_.scripts = {{Completes::kOnCancel, "stale"},
                     {Completes::kLater, std::string_view("\0fresh", 6)}};
  EXPECT_EQ(Transceive(100).result, 996u);
  const Outcome next = Transceive(2000);
  EXPECT_EQ(next.result, 0u);
  EXPECT_EQ(next.output, std::string_view("\0fresh", 6));
}

// A driver that ignores the cancel completes the abandoned control while the next control
// waits: that completion must not end the next control's wait.
TEST_F(IoControlTest, ALateCompletionOfAnAbandonedControlDoesNotEndTheNextWait) {
  driver_.scripts = {{Completes::kWhenReleased, "stale"},
                     {Completes::kAfterReleasingHeld, std::string_view("\0next", 5)}};
  EXPECT_EQ(Transceive(50).result, 996u);  // waits out the cancel grace, then gives up
  const Outcome next = Transceive(5000);
  EXPECT_EQ(next.result, 0u);
  EXPECT_EQ(next.output, std::string("\0next", 5));
}

// ...nor, after the channel is closed, signal a handle that has been closed (and may since
// name something else).
TEST_F(IoControlTest, ALateCompletionAfterCloseSignalsALiveEvent) {
  driver_.scripts = {{Completes::kWhenReleased, "stale"}};
  EXPECT_EQ(Transceive(50).result, 996u);
  device_.reset();
  driver_.ReleaseHeld();
  EXPECT_EQ(driver_.signalled, std::vector<bool>{true});
}

// The transfer engine over this channel: the answer lands in rxFrame, never more than it holds,
// and a control that timed out leaves no answer.
TEST_F(IoControlTest, TheEngineTakesAtMostItsFrameAndNothingFromACancelledControl) {
  CTransfer engine;
  engine.usbChannel.deviceHandle = std::move(device_);
  engine.usbChannel.ioTimeout = 100;
  static const std::string kLongAnswer(1500, '\0');
  driver_.scripts = {{Completes::kLater, kLongAnswer, 4096}, {Completes::kOnCancel, "lost"}};
  engine.txBuffer.AppendBytes(reinterpret_cast<const std::uint8_t*>("d"), 1);
  EXPECT_EQ(engine.Transceive(), 0u);
  EXPECT_EQ(engine.rxCount, CTransfer::kFrameCapacity);
  EXPECT_EQ(engine.rxBuffer.length, CTransfer::kFrameCapacity);
  engine.rxBuffer.length = 0;
  EXPECT_EQ(engine.Transceive(), 996u);
  EXPECT_EQ(engine.rxCount, 0u);
  EXPECT_EQ(engine.rxBuffer.length, 0u);
}

}  // namespace
}  // namespace zarn
