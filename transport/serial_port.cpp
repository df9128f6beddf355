// The platform-independent half of the serial port: the steps of Open and Close around the
// device set-up, and what the worker does with received bytes and link conditions.

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "transport/serial_port.h"

namespace zarn {

void CSerialPort::PrepareOpen(std::int32_t index, std::int32_t baud, char parityLetter,
                              const char* stopBitsText) {
  portIndex = index;
  baudRate = baud;
  parity = parityLetter;
  dataBits = 8;
  std::snprintf(stopBits, sizeof stopBits, "%s", stopBitsText != nullptr ? stopBitsText : "");
  eventMask = kSerialEventBreak | kSerialEventError;
  // Packets left from an earlier opening, or appended while closed, are never sent.
  writeQueue.SetEnabled(false);
  writeQueue.Drain();
}

void CSerialPort::FinishOpen() {
  isOpen = true;
  writeQueue.SetEnabled(true);
  workerLogLevel_ = logLevel;
  if (logLevel != 0) {
    char fileName[32];
    std::snprintf(fileName, sizeof fileName, "_com%d.log", portIndex + 1);
    trafficLog.Start(fileName);
  }
  lastRxTick = 0;
}

void CSerialPort::FinishClose() {
  if (workerLogLevel_ != 0) trafficLog.Stop();
}

void CSerialPort::Deliver(const std::uint8_t* bytes, std::int32_t count) {
  if (count <= 0) return;
  if (workerLogLevel_ >= 1) {
    const std::uint32_t now = platform::TickMs();
    const std::uint32_t sincePrevious = lastRxTick == 0 ? 0 : now - lastRxTick;
    trafficLog.Print("RX: Size = %4d   %3d\r\n", count, static_cast<int>(sincePrevious));
    trafficLog.Dump(bytes, static_cast<std::uint32_t>(count));
    lastRxTick = now;
  }
  if (dataCallback != nullptr) dataCallback(portIndex, bytes, count, callbackContext);
}

void CSerialPort::Report(std::int32_t kind, std::uint32_t value) {
  if (statusCallback != nullptr) statusCallback(portIndex, kind, value, callbackContext);
}

}  // namespace zarn
