#pragma once
// The one way device commands travel: the caller fills the process-wide CommandBlock, calls
// ExchangeCommand and finds the reader's answer in the same block, whichever link is open.

#include <cstdint>

#include "link/transfer.h"

namespace zarn {

struct CommandBlock {
  static constexpr std::uint32_t kCapacity = 300;

  std::uint32_t requestLength = 0;
  std::uint8_t request[kCapacity] = {};
  // Before an exchange: the most bytes accepted (always 300); after it: the bytes in response.
  std::uint32_t responseLength = kCapacity;
  // Byte 0 is the reader's status byte (0 = success); the command's data follows.
  std::uint8_t response[kCapacity] = {};
};

extern CommandBlock commandBlock;
// The run's one transfer engine; null until the run flow has created it.
extern CTransfer* transferEngine;

// Sends the first requestLength bytes of the request on the current link; 0 or a result code.
std::uint32_t ExchangeCommand();
// Closes the PC/SC connection if one is up, then the engine's serial port or USB channel.
std::uint32_t CloseInterface();

}  // namespace zarn
