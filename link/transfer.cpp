#include "link/transfer.h"

#include "link/result_codes.h"

namespace zarn {

CTransfer::CTransfer() = default;

CTransfer::~CTransfer() {
  CloseSerial();
  usbChannel.Close();
}

void CTransfer::InstallLinkCallbacks() {
  serialPort.statusCallback = &CTransfer::OnSerialStatus;
  serialPort.dataCallback = &CTransfer::OnSerialData;
  serialPort.callbackContext = this;
}

bool CTransfer::Open(std::int32_t index, std::uint32_t baudRate, char parity,
                     const char* stopBits) {
  rxCheck = 0xFFFF;
  stateFlags = 0;
  rxCount = 0;
  linkIndex = index;
  linkBaudRate = baudRate;
  if (baudRate != 0) {
    serialPort.logLevel = 0;
    if (!serialPort.Open(index, static_cast<std::int32_t>(baudRate), parity, stopBits)) {
      return false;
    }
    responseEvent.Reset();
    responseEventCreated = true;
    return true;
  }
  usbChannel.logEnabled = 0;
  return usbChannel.Open(index);
}

bool CTransfer::CloseSerial() {
  const bool closed = serialPort.Close();
  if (closed) responseEventCreated = false;
  return closed;
}

void CTransfer::ResetForUsb() {
  stateFlags = 0;
  rxCount = 0;
  rxCheck = 0xFFFF;
  linkIndex = 0;
  linkBaudRate = 0;
  usbChannel.logEnabled = 0;
}

std::uint32_t CTransfer::Transceive() {
  lastError = 0;
  if (!serialPort.IsOpen() && !usbChannel.IsOpen()) return SCARD_E_NO_READERS_AVAILABLE;
  if (txBuffer.length == 0) return SCARD_E_NOT_TRANSACTED;
  if ((stateFlags & FLAG_BUSY) != 0) return ERROR_BUSY_CODE;
  stateFlags |= FLAG_BUSY;
  rxBuffer.length = 0;
  return linkBaudRate == 0 ? TransceiveUsb() : TransceiveSerial();
}

}  // namespace zarn
