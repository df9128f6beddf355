#pragma once
// The reader reached as a PC/SC smart-card reader, with the fall-back to the reader's own USB
// driver channel when no PC/SC reader can be connected.

#include <cstdint>
#include <string>
#include <vector>

#include "diag/traffic_log.h"
#include "platform/pcsc.h"

namespace zarn {

// Why the last OpenSmartCardReader did not connect through PC/SC (both 0 after it did).
struct PcscOpenFailure {
  std::uint32_t serviceError = 0;    // establishing the context failed
  std::uint32_t connectError = 0;    // connecting to the reader failed
  std::vector<std::string> readers;  // what the service listed when connecting failed
};

struct SmartCardReaderState {
  platform::PcscHandle context = 0;
  platform::PcscHandle card = 0;
  char readerName[256] = {};
  std::uint32_t activeProtocol = 0;
  std::int32_t connected = 0;
  std::int32_t pcscLogEnabled = 0;
  TrafficLog trafficLog;
  PcscOpenFailure openFailure;
  // The service's result of the last escape request (SCardControl), 0 after a good one.
  std::uint32_t controlError = 0;
};

extern SmartCardReaderState smartCardReader;
// True while commands go through PC/SC; set only by a successful OpenSmartCardReader.
extern bool smartCardPathActive;

constexpr char kSmartCardReaderName[] = "Korvanta Smart Card Reader 0";
// The part of the name every such reader's listed name begins with.
constexpr char kSmartCardReaderPrefix[] = "Korvanta Smart Card Reader";
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
