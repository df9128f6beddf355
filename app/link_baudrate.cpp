#include "app/link_baudrate.h"

#include "app/results.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"

namespace zarn {

bool LinkBaudDivisor(std::uint32_t baud, std::uint8_t& divisor) {
  if (baud < kLowestLinkBaudrate || baud > kHighestLinkBaudrate) return false;
  divisor = static_cast<std::uint8_t>(24000000u / (16u * baud));
  return true;
}

std::uint32_t SetLinkBaudrate(std::uint32_t baud) {
  if (transferEngine == nullptr) return SCARD_E_READER_UNAVAILABLE;
  std::uint8_t divisor = 0;
  if (!LinkBaudDivisor(baud, divisor)) return kResultBadLinkBaudrate;
  CTransfer& engine = *transferEngine;
  engine.txBuffer.length = 0;
  engine.txBuffer.PushByte(0x0F);
  engine.txBuffer.PushByte(divisor);
  return engine.Transceive();
}

}  // namespace zarn
