#include "app/device_requests.h"

#include <cstring>

#include "app/link_reasons.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"

namespace zarn {

std::uint32_t SendRequest(const std::uint8_t* bytes, std::uint32_t length) {
  if (length > CommandBlock::kCapacity) return SCARD_E_INVALID_PARAMETER;
  if (length > 0) std::memcpy(commandBlock.request, bytes, length);
  commandBlock.requestLength = length;
  commandBlock.responseLength = CommandBlock::kCapacity;
  const std::uint32_t result = ExchangeCommand();
  NoteRequestOutcome(result);
  return result;
}

std::uint32_t SendRequest(std::initializer_list<std::uint8_t> bytes) {
  return SendRequest(bytes.begin(), static_cast<std::uint32_t>(bytes.size()));
}

std::uint8_t AnswerByte(std::uint32_t index) {
  return index < commandBlock.responseLength && index < CommandBlock::kCapacity
             ? commandBlock.response[index]
             : 0;
}

std::uint32_t AnswerLength() {
  return commandBlock.responseLength;
}

}  // namespace zarn
