#include "link/command_exchange.h"

#include <algorithm>

#include "link/result_codes.h"
#include "link/smart_card_reader.h"

namespace zarn {

CommandBlock commandBlock;
CTransfer* transferEngine = nullptr;

namespace {

std::uint32_t ExchangeOverEngine() {
  if (commandBlock.requestLength == 0 || commandBlock.requestLength > CommandBlock::kCapacity) {
    commandBlock.responseLength = 0;
    return SCARD_E_INVALID_PARAMETER;
  }
  if (transferEngine == nullptr) {
    commandBlock.responseLength = 0;
    return SCARD_E_READER_UNAVAILABLE;
  }
  CTransfer& engine = *transferEngine;
  engine.txBuffer.length = 0;
  engine.txBuffer.AppendBytes(commandBlock.request, commandBlock.requestLength);
  if (const std::uint32_t result = engine.Transceive(); result != kSuccess) {
    commandBlock.responseLength = 0;
    return result;
  }
  commandBlock.responseLength = std::min(CommandBlock::kCapacity, engine.rxBuffer.length);
  if (!engine.rxBuffer.ReadBytes(commandBlock.response, commandBlock.responseLength)) {
    commandBlock.responseLength = 0;
    return SCARD_E_COMM_DATA_LOST;
  }
  return kSuccess;
}

}  // namespace

std::uint32_t ExchangeCommand() {
  commandBlock.responseLength = CommandBlock::kCapacity;
  return smartCardPathActive ? ExchangeOverPcsc() : ExchangeOverEngine();
}

std::uint32_t CloseInterface() {
  if (smartCardReader.connected != 0) CloseSmartCardReader();
  if (transferEngine != nullptr) {
    transferEngine->CloseSerial();
    transferEngine->CloseUsb();
  }
  return kSuccess;
}

}  // namespace zarn
