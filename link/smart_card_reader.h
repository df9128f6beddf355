#pragma once
// The reader reached as a PC/SC smart-card reader, with the fall-back to the reader's own USB
// driver channel when no PC/SC reader can be connected.

#include <cstdint>

#include "diag/traffic_log.h"
#include "platform/pcsc.h"

namespace zarn {

struct SmartCardReaderState {
  platform::PcscHandle context = 0;
  platform::PcscHandle card = 0;
  char readerName[256] = {};
  std::uint32_t activeProtocol = 0;
  std::int32_t connected = 0;
  std::int32_t pcscLogEnabled = 0;
  TrafficLog trafficLog;
};

extern SmartCardReaderState smartCardReader;
// True while commands go through PC/SC; set only by a successful OpenSmartCardReader.
extern bool smartCardPathActive;

constexpr char kSmartCardReaderName[] = "Korvanta Smart Card Reader 0";
constexpr std::uint8_t kEscapeHeader[5] = {0xFF, 0x70, 0xC2, 0x51, 0x00};
constexpr std::uint32_t kPcscAnswerCapacity = 2048;

// 0 when the PC/SC reader or, failing that, the USB driver channel is open.
std::uint32_t OpenSmartCardReader();
// Disconnects and releases the context; the result of releasing it.
std::uint32_t CloseSmartCardReader();
// The escape exchange of the CommandBlock's request over the connected PC/SC reader.
std::uint32_t ExchangeOverPcsc();

// The PC/SC calls in use; tests install a fake reader, nullptr restores the system's.
void UsePcscApi(const platform::PcscApi* api);

}  // namespace zarn
