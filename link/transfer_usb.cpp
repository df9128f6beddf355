// The transfer engine's USB path: the request goes unframed to the reader's driver in one
// transceive I/O control, whose whole output (status byte, then data) is the answer.

#include <algorithm>
#include <cstring>

#include "link/result_codes.h"
#include "link/transfer.h"

namespace zarn {

std::uint32_t CTransfer::TransceiveUsb() {
  txCount = std::min(txBuffer.length, kFrameCapacity);
  std::memcpy(txFrame, txBuffer.data, txCount);
  TrafficLog& log = usbChannel.trafficLog;
  if (usbChannel.logEnabled != 0) {
    log.Print("TX: Size = %4d\r\n", static_cast<int>(txCount));
    log.Dump(txFrame, txCount);
  }
  // rxCount is the output of this control only: 0 when it did not complete.
  const std::uint32_t result =
      usbChannel.TransceiveControl(txFrame, txCount, rxFrame, kFrameCapacity, &rxCount);
  if (usbChannel.logEnabled != 0) {
    log.Print("RX: Error = 0x%08X Size = %4d\r\n", result, static_cast<int>(rxCount));
    log.Dump(rxFrame, rxCount);
  }
  lastError = result;
  stateFlags = 0;
  if (result != kSuccess) return result;
  // An empty output is an empty answer, never a status byte left from an earlier exchange;
  // ExchangeCommand reports it as lost data.
  if (rxCount == 0) return kSuccess;
  if (rxFrame[0] != 0) {
    rxBuffer.PushByte(rxFrame[0]);
    return SCARD_F_INTERNAL_ERROR;
  }
  rxBuffer.AppendBytes(rxFrame, rxCount);
  return kSuccess;
}

}  // namespace zarn
