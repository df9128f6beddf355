#pragma once
// The state of one run: command-line settings, the link that worked, the reader's identity
// before and after, and the chosen image.

#include <cstdint>
#include <memory>

#include "link/transfer.h"

namespace zarn {

struct UpgradeSession {
  int portNumber = 0;  // 0: no COM port, USB mode
  std::uint32_t Operational_Baudrate = 9600;
  std::uint32_t Upgrade_Baudrate = 9600;
  std::uint8_t busAddress = 0;
  std::uint8_t Char_Timeout = 0;  // 0: not given
  char parityLetter = 'N';
  char stopBitsText[2] = {'1', '\0'};
  std::unique_ptr<CTransfer> transfer;

  std::uint8_t oldSerialNumber[4] = {};
  std::uint32_t oldVersionWord = 0;
  std::uint8_t oldVersionByte5 = 0;
  std::uint8_t oldVersionByte6 = 0;  // the run-mode byte: 0 while the loader runs

  const std::uint8_t* image = nullptr;
  std::uint32_t imageLength = 0;
  std::uint32_t bytesSent = 0;
  std::uint8_t newSerialNumber[4] = {};
  bool serialRestored = false;
  std::uint32_t newVersionWord = 0;
  std::uint8_t newVersionByte5 = 0;
};

extern UpgradeSession session;

}  // namespace zarn
