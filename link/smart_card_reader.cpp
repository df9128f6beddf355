#include "link/smart_card_reader.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "link/command_exchange.h"
#include "link/result_codes.h"

namespace zarn {

SmartCardReaderState smartCardReader;
bool smartCardPathActive = false;

namespace {

const platform::PcscApi* pcscApi = nullptr;
const platform::PcscApi& Pcsc() {
  return pcscApi ? *pcscApi : platform::SystemPcsc();
}

constexpr std::uint32_t kHeaderLength = sizeof kEscapeHeader;
constexpr std::uint8_t kStatusWord[2] = {0x90, 0x00};

std::uint32_t OpenUsbFallback() {
  if (transferEngine == nullptr) return SCARD_E_READER_UNAVAILABLE;
  transferEngine->ResetForUsb();
  return transferEngine->usbChannel.Open(0) ? kSuccess : SCARD_F_COMM_ERROR;
}

void StartPcscLog() {
  const std::string fileName = std::string("_eth_") + smartCardReader.readerName + ".log";
  smartCardReader.trafficLog.Start(fileName.c_str());
}

}  // namespace

void UsePcscApi(const platform::PcscApi* api) {
  pcscApi = api;
}

std::uint32_t ExchangeOverPcsc() {
  CommandBlock& block = commandBlock;
  // The header goes in front of the request inside the same 300 bytes.
  if (block.requestLength > CommandBlock::kCapacity - kHeaderLength) {
    block.responseLength = 0;
    return SCARD_E_INVALID_PARAMETER;
  }
  std::uint8_t command[CommandBlock::kCapacity];
  std::memcpy(command, block.request, block.requestLength);
  std::memcpy(block.request, kEscapeHeader, kHeaderLength);
  std::memcpy(block.request + kHeaderLength, command, block.requestLength);
  block.requestLength += kHeaderLength;

  std::uint8_t answer[kPcscAnswerCapacity] = {};
  block.responseLength = 0;
  if (smartCardReader.pcscLogEnabled != 0) {
    smartCardReader.trafficLog.Print("TX: Size = %4d\r\n", static_cast<int>(block.requestLength));
    smartCardReader.trafficLog.Dump(block.request, block.requestLength);
  }
  std::uint32_t n = 0;
  const std::uint32_t result =
      Pcsc().control(smartCardReader.card, platform::EscapeControlCode(), block.request,
                     block.requestLength, answer, kPcscAnswerCapacity, &n);
  smartCardReader.controlError = result;
  if (result != kSuccess) return result;
  if (n <= 1 || n > CommandBlock::kCapacity) return SCARD_E_COMM_DATA_LOST;
  std::memcpy(block.response, answer, n);
  block.responseLength = n;
  if (n == 2) return SCARD_E_COMM_DATA_LOST;
  if (answer[n - 2] != kStatusWord[0] || answer[n - 1] != kStatusWord[1]) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (block.response[0] != 0) return SCARD_F_INTERNAL_ERROR;
  block.responseLength = n - 2;
  return kSuccess;
}

std::uint32_t OpenSmartCardReader() {
  smartCardPathActive = false;
  std::snprintf(smartCardReader.readerName, sizeof smartCardReader.readerName, "%s",
                kSmartCardReaderName);
  PcscOpenFailure& failure = smartCardReader.openFailure;
  failure = PcscOpenFailure{};
  failure.serviceError = Pcsc().establishContext(&smartCardReader.context);
  if (failure.serviceError != kSuccess) return OpenUsbFallback();
  failure.connectError = Pcsc().connect(smartCardReader.context, smartCardReader.readerName,
                                        &smartCardReader.card, &smartCardReader.activeProtocol);
  if (failure.connectError != kSuccess) {
    if (Pcsc().listReaders != nullptr) Pcsc().listReaders(smartCardReader.context, failure.readers);
    Pcsc().releaseContext(smartCardReader.context);
    smartCardReader.context = 0;
    smartCardReader.card = 0;
    return OpenUsbFallback();
  }
  smartCardReader.connected = 1;
  if (smartCardReader.pcscLogEnabled != 0) StartPcscLog();
  smartCardPathActive = true;
  return kSuccess;
}

std::uint32_t CloseSmartCardReader() {
  if (smartCardReader.card != 0) {
    Pcsc().disconnect(smartCardReader.card);
    smartCardReader.card = 0;
  }
  const std::uint32_t result = Pcsc().releaseContext(smartCardReader.context);
  smartCardReader.context = 0;
  smartCardReader.connected = 0;
  if (smartCardReader.pcscLogEnabled != 0) smartCardReader.trafficLog.Stop();
  return result;
}

}  // namespace zarn
