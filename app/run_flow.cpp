#include "app/run_flow.h"

#include <new>
#include <string>

#include "app/command_line.h"
#include "app/device_requests.h"
#include "app/link_reasons.h"
#include "app/upgrade.h"
#include "app/upgrade_session.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace zarn {

UpgradeSession session;

namespace {

constexpr char kParityLetters[] = "NOE";
constexpr int kOpenAttempts = 6;

void PrintBanner() {
  const platform::TimeOfDay now = platform::LocalTimeOfDay();
  platform::Print("%2.2u:%2.2u:%2.2u Zarn Reader Upgrade\n", now.hour, now.minute, now.second);
}

std::uint32_t CreateEngine() {
  CTransfer* engine = new (std::nothrow) CTransfer;
  if (engine == nullptr) {
    platform::Print("Interface is not created\n");
    return SCARD_E_READER_UNAVAILABLE;
  }
  engine->InstallLinkCallbacks();
  session.transfer.reset(engine);
  transferEngine = engine;
  if (session.portNumber != 0) {
    platform::Print("Device address on the bus = %d\n", session.busAddress);
    engine->busAddress = session.busAddress;
  }
  return kSuccess;
}

// Attempts N/1, O/1, E/1, N/2, O/2, E/2 until the reader answers the version request.
std::uint32_t OpenComInterface() {
  platform::Print("COM%d ...", session.portNumber);
  std::uint32_t result = kSuccess;
  std::string framings;  // those tried, for the reason line
  bool silent = true;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    session.parityLetter = kParityLetters[attempt % 3];
    session.stopBitsText[0] = attempt < 3 ? '1' : '2';
    if (!OpenSerialLink(session.Operational_Baudrate, session.parityLetter, session.stopBitsText)) {
      platform::Print(" is not opened\n");
      return SCARD_F_COMM_ERROR;
    }
    result = SendRequest({kVersionRequest});
    if (result == kSuccess) {
      platform::Print(" is opened successfully\n");
      return kSuccess;
    }
    framings +=
        (attempt == 0 ? "" : ", ") + std::string{session.parityLetter, '/'} + session.stopBitsText;
    silent = silent && IsUnanswered(result);
    CloseLink();
    platform::Print(".");
  }
  platform::Print(" is not opened\n");
  if (silent) ReportSilentReaderAtOpen(framings.c_str());
  return result;
}

std::uint32_t OpenUsbInterface() {
  platform::Print("USB");
  std::uint32_t result = OpenSmartCardReader();
  if (result != kSuccess) result = OpenSmartCardReader();
  platform::Print(result == kSuccess ? " is opened successfully\n" : " is not opened\n");
  if (result != kSuccess) ReportUsbNotOpened();
  return result;
}

std::uint32_t OpenInterface() {
  platform::Print("Interface ");
  return session.portNumber != 0 ? OpenComInterface() : OpenUsbInterface();
}

std::uint32_t Identify() {
  if (const std::uint32_t result = SendRequest({kSerialNumberRequest}); result != kSuccess) {
    return result;
  }
  platform::Print("Serial Number ");
  for (std::uint32_t i = 4; i >= 1; --i) {
    session.oldSerialNumber[i - 1] = AnswerByte(i);
    platform::Print("%02X ", AnswerByte(i));
  }
  platform::Print("\n");

  if (const std::uint32_t result = SendRequest({kVersionRequest}); result != kSuccess) {
    return result;
  }
  session.oldVersionWord = 0;
  for (std::uint32_t i = 4; i >= 1; --i) {
    session.oldVersionWord = (session.oldVersionWord << 8) | AnswerByte(i);
  }
  session.oldVersionByte5 = AnswerByte(5);
  session.oldVersionByte6 = AnswerByte(6);
  platform::Print("Old Version   ");
  for (std::uint32_t i = 1; i < AnswerLength(); ++i)
    platform::Print("%02X ", AnswerByte(i));
  platform::Print("\n");
  return kSuccess;
}

// The reader's status byte as the engine received it; 0xFF when there is none to show.
std::uint8_t InternalErrorByte() {
  const CTransfer* engine = session.transfer.get();
  return engine != nullptr && engine->rxBuffer.length > 0 ? engine->rxBuffer.data[0] : 0xFF;
}

void CloseDown(std::uint32_t result) {
  CTransfer* engine = session.transfer.get();
  if (engine != nullptr && (engine->IsSerialOpen() || engine->IsUsbOpen())) {
    if (result != kSuccess) {
      platform::Print("Error = 0x%08X (%d)\n", result, static_cast<int>(result));
    }
    if (result == SCARD_F_INTERNAL_ERROR) {
      const std::uint8_t status = InternalErrorByte();
      platform::Print("Internal Error = 0x%02X (%d)\n", status,
                      static_cast<int>(static_cast<std::int8_t>(status)));
    }
    engine->CloseSerial();
    engine->CloseUsb();
  }
  if (engine != nullptr) {
    transferEngine = nullptr;
    session.transfer.reset();
  }
  if (smartCardReader.connected != 0) CloseSmartCardReader();
  platform::Print("Press <Enter> ...");
  platform::ReadChar();
}

std::uint32_t RunSteps(int argc, const char* const* argv) {
  if (const std::uint32_t result = ParseCommandLine(argc, argv, session); result != kSuccess) {
    return result;
  }
  if (const std::uint32_t result = CreateEngine(); result != kSuccess) return result;
  if (const std::uint32_t result = OpenInterface(); result != kSuccess) return result;
  if (const std::uint32_t result = Identify(); result != kSuccess) return result;
  return RunUpgrade();
}

}  // namespace

std::uint32_t CloseLink() {
  CTransfer* engine = session.transfer.get();
  if (engine == nullptr) return SCARD_E_READER_UNAVAILABLE;
  std::uint32_t result = SCARD_F_COMM_ERROR;  // nothing closed
  if (engine->IsSerialOpen()) result = engine->CloseSerial() ? kSuccess : SCARD_F_COMM_ERROR;
  if (engine->IsUsbOpen()) result = engine->CloseUsb() ? kSuccess : SCARD_F_COMM_ERROR;
  return result;
}

std::uint32_t RunTool(int argc, const char* const* argv) {
  session = UpgradeSession{};
  ResetLinkReasons();
  PrintBanner();
  const std::uint32_t result = RunSteps(argc, argv);
  CloseDown(result);
  return result;
}

}  // namespace zarn
