#include "app/restart.h"

#include <string>

#include "app/device_requests.h"
#include "app/link_reasons.h"
#include "app/results.h"
#include "app/run_flow.h"
#include "app/upgrade_session.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/process.h"

namespace zarn {
namespace {

constexpr std::uint32_t kSecond = 1000;
constexpr std::uint32_t kKeyPollMs = 200;
constexpr int kSettleSeconds = 5;
constexpr int kSerialProbes = 5;
constexpr int kUsbOpenAttempts = 15;
constexpr int kReconnectAttempts = 5;
constexpr std::uint32_t kVersionAnswerLength = 7;
constexpr std::uint32_t kRunModeByte = 6;

struct UsbIdentity {
  const char* protocolLine;
  const char* hardwareId;
};
constexpr UsbIdentity kCcidIdentity{"Protocol CCID\n", "USB\\Vid_c251&Pid_130d"};
constexpr UsbIdentity kDriverIdentity{"Protocol Zarn\n", "USB\\Vid_c251&Pid_130a"};

void WaitSecondsWithDots(int seconds) {
  for (int i = 0; i < seconds; ++i) {
    platform::SleepMs(kSecond);
    platform::Print(".");
  }
}

// The state check of the final answer: the reader must be in its loader after the loader
// request and in its application after the trailer. An answer of another length is not judged.
std::uint32_t CheckRunMode(RestartMode mode) {
  if (AnswerLength() != kVersionAnswerLength) return kSuccess;
  const bool inLoader = AnswerByte(kRunModeByte) == 0;
  if (mode == AfterPrepare && !inLoader) return kResultStillApplication;
  if (mode == AfterCheck && inLoader) return kResultStillLoader;
  return kSuccess;
}

std::uint32_t WaitOnSerial(RestartMode mode) {
  WaitSecondsWithDots(kSettleSeconds);
  CloseLink();
  const bool loaderFraming = mode == AfterPrepare;
  const char parity = loaderFraming ? 'N' : session.parityLetter;
  const char* stopBits = loaderFraming ? "1" : session.stopBitsText;
  // A failed open is not examined here: it shows up as failing probes (and a reason line; the
  // probes on a closed port fail at once, and are not taken for a silent reader).
  OpenSerialLink(session.Operational_Baudrate, parity, stopBits);
  std::uint32_t result = kSuccess;
  bool silent = true;
  for (int probe = 0; probe < kSerialProbes; ++probe) {
    platform::SleepMs(kSecond);
    result = SendRequest({kVersionRequest});
    silent = silent && IsUnanswered(result);
    if (result == kSuccess) break;
    platform::Print(".");
  }
  // A reader whose image check failed comes back in its loader: that is no success.
  if (result == kSuccess && mode == AfterCheck) result = CheckRunMode(mode);
  platform::Print("\n");
  if (silent && result != kSuccess) ReportSilentReaderAfterRestart(loaderFraming, parity, stopBits);
  return result;
}

void RestartUsbDevice() {
  if (smartCardReader.connected != 0) CloseSmartCardReader();
  CloseLink();
  platform::Print("\nWait for device restart ...\n");
  const UsbIdentity& identity = smartCardPathActive ? kCcidIdentity : kDriverIdentity;
  platform::Print("%s", identity.protocolLine);
  const char sep = platform::PathSeparator();
  const std::string folder = platform::RunsOn64BitWindows() ? "x64" : "i386";
  const std::string command =
      std::string(".") + sep + folder + sep + "devcon restart \"" + identity.hardwareId + "\"";
  platform::RunCommandLine(command.c_str());
}

// The operator's answer after the interface did not come back: true to keep trying.
bool OperatorWantsToContinue() {
  platform::Print("\nInterface could not be opened,\n");
  platform::Print("e.g. need to install driver Zarn USB zarnqscr.inf\n");
  platform::Print("Continue (Y/N)?\n");
  for (;;) {
    if (platform::KeyWaiting()) return true;  // a key typed while waiting: go on, leave it unread
    platform::SleepMs(kKeyPollMs);
    const int key = platform::ReadKey();
    // No console input can come any more: nobody can answer, so go on as after a waiting key.
    if (key == platform::kEndOfInput) return true;
    if (key == 'Y' || key == 'y') return true;
    if (key == 'N' || key == 'n') return false;
  }
}

std::uint32_t Reconnect() {
  std::uint32_t result = kSuccess;
  for (int attempt = 0; attempt < kReconnectAttempts; ++attempt) {
    platform::SleepMs(kSecond);
    result = OpenSmartCardReader();
    if (result == kSuccess) return kSuccess;
    platform::Print(".");
  }
  platform::Print("\n");
  ReportUsbNotOpened();
  return result;
}

std::uint32_t FinalCheck(RestartMode mode) {
  std::uint32_t result = SendRequest({kVersionRequest});
  if (result == kSuccess) result = CheckRunMode(mode);
  platform::Print("\n");
  return result;
}

std::uint32_t WaitOnUsb(RestartMode mode) {
  CloseInterface();
  WaitSecondsWithDots(kSettleSeconds);
  bool opened = false;
  for (int attempt = 0; attempt < kUsbOpenAttempts && !opened; ++attempt) {
    platform::SleepMs(kSecond);
    opened = OpenSmartCardReader() == kSuccess;
    if (!opened) platform::Print(".");
  }
  if (opened && SendRequest({kVersionRequest}) == kSuccess) return FinalCheck(mode);
  if (opened) {
    RestartUsbDevice();
  } else {
    ReportUsbNotOpened();
    if (!OperatorWantsToContinue()) {
      platform::Print("Reader upgrade terminated.\n");
      return kResultTerminated;
    }
  }
  if (const std::uint32_t result = Reconnect(); result != kSuccess) return result;
  return FinalCheck(mode);
}

}  // namespace

std::uint32_t WaitForRestart(RestartMode mode) {
  return session.portNumber != 0 ? WaitOnSerial(mode) : WaitOnUsb(mode);
}

}  // namespace zarn
