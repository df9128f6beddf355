#include "app/link_reasons.h"

#include <cstring>
#include <string>

#include "app/upgrade_session.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/com_name.h"
#include "platform/console.h"
#include "platform/error_text.h"
#include "transport/usb_channel_platform.h"

namespace zarn {
namespace {

bool escapeRefusalReported = false;

// The move the next request will tell about: its baud rate, 0 when there is none.
struct PendingMove {
  std::uint32_t baudRate = 0;
  bool toUpgradeRate = false;
};
PendingMove pendingMove;

// What a silent reader most often means on a serial line, in the order met in the field.
constexpr char kSilentAdvice[] =
    "the reader's baud rate and bus address, the wiring, and RS-485 direction control";
constexpr char kMovedAdvice[] =
    "that the reader, the adapter and the line carry that rate, the wiring, and RS-485 direction "
    "control";

// The USB channel reports Windows system codes on every platform; these are the ones its
// search produces, in Windows' own words.
struct ChannelErrorText {
  std::uint32_t code;
  const char* text;
};
constexpr ChannelErrorText kChannelErrors[] = {
    {2, "The system cannot find the file specified"},
    {5, "Access is denied"},
    {8, "Not enough memory resources are available to process this command"},
    {170, "The requested resource is in use"},
    {206, "The filename or extension is too long"},
};

std::string ChannelError(std::uint32_t code) {
  std::string text = "system error " + std::to_string(code);
  for (const ChannelErrorText& known : kChannelErrors) {
    if (known.code == code) return std::string(known.text) + " (" + text + ")";
  }
  return text;
}

void ReportSerialFailure(const CSerialPort& port, std::uint32_t baudRate, char parity,
                         const char* stopBits) {
  const std::string device = platform::ComDeviceName(session.portNumber);
  const std::string error = platform::SystemErrorText(port.lastFailure.osError);
  switch (port.lastFailure.step) {
    case LinkStep::kSetUp:
      platform::PrintReason(
          "COM%d (%s) does not take %u baud, parity %c, 8 data bits, %s stop "
          "bit%s: %s",
          session.portNumber, device.c_str(), baudRate, parity, stopBits,
          std::strcmp(stopBits, "1") == 0 ? "" : "s", error.c_str());
      return;
    case LinkStep::kWorker:
      platform::PrintReason("COM%d (%s) cannot be served: %s", session.portNumber, device.c_str(),
                            error.c_str());
      return;
    case LinkStep::kOpen:
      platform::PrintReason("COM%d (%s) cannot be opened: %s", session.portNumber, device.c_str(),
                            error.c_str());
      return;
    case LinkStep::kNone:
      platform::PrintReason("COM%d (%s) cannot be opened", session.portNumber, device.c_str());
      return;
  }
}

void ReportSilentReader(const char* occasion, std::uint32_t baudRate, const char* framings,
                        const char* advice) {
  const std::string device = platform::ComDeviceName(session.portNumber);
  platform::PrintReason("COM%d (%s): %s at %u baud, bus address %u, %s: check %s",
                        session.portNumber, device.c_str(), occasion, baudRate,
                        static_cast<unsigned>(session.busAddress), framings, advice);
}

bool AnyListedReaderMatches(const PcscOpenFailure& failure) {
  for (const std::string& name : failure.readers) {
    if (name.rfind(kSmartCardReaderPrefix, 0) == 0) return true;
  }
  return false;
}

std::string ListedReaders(const std::vector<std::string>& readers) {
  if (readers.empty()) return "the PC/SC service lists no reader";
  std::string text = "the PC/SC service lists ";
  for (std::size_t i = 0; i < readers.size(); ++i) {
    text += (i == 0 ? "\"" : ", \"") + readers[i] + "\"";
  }
  return text;
}

std::string PcscPart(const PcscOpenFailure& failure) {
  if (failure.serviceError != 0) {
    return "the PC/SC service: " + platform::PcscErrorText(failure.serviceError);
  }
  if (AnyListedReaderMatches(failure)) {
    return "connecting: " + platform::PcscErrorText(failure.connectError);
  }
  return ListedReaders(failure.readers);
}

std::string ChannelPart(const LinkFailure& failure) {
  if (failure.osError == system_error::kNoMoreItems) return "found no interface";
  return "could not open an interface: " + ChannelError(failure.osError);
}

}  // namespace

bool OpenSerialLink(std::uint32_t baudRate, char parity, const char* stopBits) {
  CTransfer* engine = session.transfer.get();
  if (engine == nullptr) return false;
  if (engine->Open(session.portNumber - 1, baudRate, parity, stopBits)) return true;
  ReportSerialFailure(engine->serialPort, baudRate, parity, stopBits);
  return false;
}

void ReportUsbNotOpened() {
  const std::string pcsc = PcscPart(smartCardReader.openFailure);
  const CTransfer* engine = session.transfer.get();
  const std::string channel = engine != nullptr ? ChannelPart(engine->usbChannel.lastFailure)
                                                : "was not tried (no transfer engine)";
  platform::PrintReason(
      "USB: no PC/SC reader whose name begins with \"%s\" (%s), and the reader's own USB driver "
      "channel %s",
      kSmartCardReaderPrefix, pcsc.c_str(), channel.c_str());
}

void ReportEscapeRefusal() {
  if (escapeRefusalReported || !smartCardPathActive) return;
  if (!platform::IsEscapeRefusal(smartCardReader.controlError)) return;
  escapeRefusalReported = true;
  platform::PrintReason("USB: %s",
                        platform::EscapeRefusalAdvice(smartCardReader.controlError).c_str());
}

bool IsUnanswered(std::uint32_t result) {
  return result == ERROR_TIMEOUT_CODE;
}

void ReportSilentReaderAtOpen(const char* framings) {
  const std::string tried = std::string("framings ") + framings;
  ReportSilentReader("the port opened, but the reader did not answer", session.Operational_Baudrate,
                     tried.c_str(), kSilentAdvice);
}

void ReportSilentReaderAfterRestart(bool intoLoader, char parity, const char* stopBits) {
  const std::string framing = std::string("framing ") + parity + "/" + stopBits;
  ReportSilentReader(intoLoader ? "the reader did not answer after its restart into its loader"
                                : "the reader did not answer after its restart with the new "
                                  "image",
                     session.Operational_Baudrate, framing.c_str(), kSilentAdvice);
}

void NoteLinkMoved(std::uint32_t baudRate, bool toUpgradeRate) {
  pendingMove = {baudRate, toUpgradeRate};
}

void NoteRequestOutcome(std::uint32_t result) {
  const PendingMove move = pendingMove;
  pendingMove = {};
  if (result == kSuccess) return;
  ReportEscapeRefusal();
  if (move.baudRate == 0 || !IsUnanswered(result)) return;
  ReportSilentReader(move.toUpgradeRate
                         ? "the reader did not answer after the move to the upgrade baud rate"
                         : "the reader did not answer after the move back to the operational "
                           "baud rate",
                     move.baudRate, "framing N/1", kMovedAdvice);
}

void ResetLinkReasons() {
  escapeRefusalReported = false;
  pendingMove = {};
}

}  // namespace zarn
