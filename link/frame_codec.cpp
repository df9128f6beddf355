// The frame encoder and the receive state machine, working on the transfer engine's tx... and
// rx... members.

#include "link/frame_codec.h"

#include <array>

#include "link/transfer.h"

namespace zarn {

namespace {

// The eight shift steps of each low byte, worked out once: a block frame checks some 520 bytes
// per round trip, and the table makes that a lookup a byte.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned index = 0; index < table.size(); ++index) {
    auto x = static_cast<std::uint16_t>(index);
    for (int bit = 0; bit < 8; ++bit)
      x = (x & 1) != 0 ? static_cast<std::uint16_t>((x >> 1) ^ 0x8408) : (x >> 1);
    table[index] = x;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte) {
  return static_cast<std::uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF]);
}

// --- Encoder ---

bool CTransfer::AppendEscaped(std::uint8_t byte) {
  const bool escaped = byte > FRAME_LAST_PLAIN;
  if (txCount + (escaped ? 2u : 1u) > kFrameCapacity) return false;
  if (escaped) {
    txFrame[txCount++] = FRAME_ESCAPE;
    txFrame[txCount++] = static_cast<std::uint8_t>(~byte);
  } else {
    txFrame[txCount++] = byte;
  }
  return true;
}

bool CTransfer::PutEscaped(std::uint8_t byte) {
  txCheck = Crc16Update(txCheck, byte);
  return AppendEscaped(byte);
}

bool CTransfer::BuildRequestFrame(const std::uint8_t* payload, std::uint32_t count) {
  txCount = 0;
  txCheck = kCrcPreset;
  txFrame[txCount++] = FRAME_START;
  const std::uint8_t previousSequence = sequenceNumber;
  ++sequenceNumber;
  bool fits = PutEscaped(busAddress) && PutEscaped(sequenceNumber);
  for (std::uint32_t i = 0; fits && i < count; ++i)
    fits = PutEscaped(payload[i]);
  txCheck = static_cast<std::uint16_t>(~txCheck);
  fits = fits && AppendEscaped(static_cast<std::uint8_t>(txCheck & 0xFF)) &&
         AppendEscaped(static_cast<std::uint8_t>(txCheck >> 8));
  if (fits && txCount < kFrameCapacity) {
    txFrame[txCount++] = FRAME_END;
    return true;
  }
  // Nothing of a frame that does not fit is sent, so it uses up no sequence number.
  sequenceNumber = previousSequence;
  txCount = 0;
  return false;
}

// --- Receive state machine ---

void CTransfer::ResetParser() {
  stateFlags &= static_cast<std::uint8_t>(~FLAG_PARSER_MASK);
  rxCount = 0;
  rxCheck = kCrcPreset;
}

std::uint8_t CTransfer::ResetWith(std::uint8_t result) {
  ResetParser();
  return result;
}

std::uint8_t CTransfer::ParseEndByte() {
  if ((stateFlags & FLAG_IN_FRAME) == 0 || rxCount < 4) return ResetWith(FRAME_BAD_END);
  rxCheck = static_cast<std::uint16_t>(~rxCheck);
  return rxCheck == kCrcGoodFrame ? FRAME_COMPLETE : FRAME_BAD_CHECK;
}

std::uint8_t CTransfer::ParseByte(std::uint8_t byte) {
  if (byte == FRAME_START) {
    ResetParser();
    stateFlags |= FLAG_IN_FRAME;
    return FRAME_CONTINUE;
  }
  if (byte == FRAME_END) return ParseEndByte();
  if (byte == FRAME_ESCAPE) {
    if ((stateFlags & FLAG_IN_FRAME) != 0) stateFlags |= FLAG_ESCAPE;
    return FRAME_CONTINUE;
  }
  if ((stateFlags & FLAG_IN_FRAME) == 0) return FRAME_NO_START;
  if ((stateFlags & FLAG_ESCAPE) != 0) {
    if (byte > 0x02) return ResetWith(FRAME_BAD_ESCAPE);
    stateFlags &= static_cast<std::uint8_t>(~FLAG_ESCAPE);
    byte = static_cast<std::uint8_t>(~byte);
  }
  if ((stateFlags & FLAG_ADDRESS_SEEN) != 0) {
    if ((stateFlags & FLAG_SEQUENCE_SEEN) == 0) {
      if (byte != sequenceNumber) return ResetWith(FRAME_WRONG_SEQUENCE);
      stateFlags |= FLAG_SEQUENCE_SEEN;
    }
    // The store holds at most kFrameCapacity - 1 bytes: the byte that fills it is refused.
    if (rxCount >= kFrameCapacity) return ResetWith(FRAME_OVERFLOW);
    rxFrame[rxCount++] = byte;
    if (rxCount >= kFrameCapacity) return ResetWith(FRAME_OVERFLOW);
  } else {
    if (busAddress != 0 && byte != busAddress) return ResetWith(FRAME_WRONG_ADDRESS);
    stateFlags |= FLAG_ADDRESS_SEEN;
  }
  rxCheck = Crc16Update(rxCheck, byte);
  return FRAME_CONTINUE;
}

}  // namespace zarn
