#include "app/block_transfer.h"

#include <cstring>

#include "app/device_requests.h"
#include "app/results.h"
#include "app/upgrade_session.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "platform/console.h"

namespace zarn {
namespace {

constexpr std::uint32_t kBlockSize = 256;
constexpr std::uint8_t kBlockCommand[2] = {0x73, 0x33};  // 's' '3'

// One thirty-second of the body, in whole blocks; at least one block, so that a short body
// still gets a ruler.
std::uint32_t RulerStep(std::uint32_t bodyLength) {
  const std::uint32_t step = (bodyLength >> 5) & 0x07FFFF00;
  return step != 0 ? step : kBlockSize;
}

std::uint32_t SendBlock(std::uint32_t offset) {
  std::uint8_t request[sizeof kBlockCommand + kBlockSize];
  std::memcpy(request, kBlockCommand, sizeof kBlockCommand);
  std::memcpy(request + sizeof kBlockCommand, session.image + offset, kBlockSize);
  if (const std::uint32_t result = SendRequest(request, sizeof request); result != kSuccess) {
    return result;
  }
  if (AnswerLength() != 1) return kResultBlockAnswerLength;
  if (AnswerByte(0) != 0) return kResultBlockRefused;
  return kSuccess;
}

void ReportFailedBlock(std::uint32_t result) {
  platform::Print("Sended = 0x%08X (%d)\n", session.bytesSent, static_cast<int>(session.bytesSent));
  platform::Print("Error = 0x%08X (%d)\n", result, static_cast<int>(result));
  if (result == SCARD_F_INTERNAL_ERROR) {
    const CTransfer* engine = transferEngine;
    const std::uint8_t status =
        engine != nullptr && engine->rxBuffer.length > 0 ? engine->rxBuffer.data[0] : 0xFF;
    platform::Print("     Internal Error = %d (0x%02X)",
                    static_cast<int>(static_cast<std::int8_t>(status)), status);
  }
  platform::Print("\n");
}

}  // namespace

std::uint32_t TransferImageBody() {
  const std::uint32_t body = session.imageLength;
  const std::uint32_t step = RulerStep(body);
  platform::Print("Process:\n");
  for (std::uint32_t dot = 0; dot < body / step + 1; ++dot)
    platform::Print(".");
  platform::Print("\n");
  for (std::uint32_t offset = 0; offset < body; offset += kBlockSize) {
    if (const std::uint32_t result = SendBlock(offset); result != kSuccess) {
      ReportFailedBlock(result);
      break;
    }
    session.bytesSent += kBlockSize;
    if (session.bytesSent % step == 0) platform::Print(":");
  }
  platform::Print(":\n");
  return session.bytesSent < body ? kResultTransferIncomplete : kSuccess;
}

}  // namespace zarn
