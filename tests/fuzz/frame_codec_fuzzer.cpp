// The frame codec on arbitrary bytes: ParseByte over any stream, with any bus address and
// sequence number, keeps its store within bounds and its results within the table; and every
// payload the encoder frames is read back whole by the parser.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "link/frame_codec.h"
#include "link/transfer.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Arbitrary received bytes: every result is one of the table's, the store never passes its
// end, and a completed frame holds at least the four framing bytes.
void ParseStream(zarn::CTransfer& engine, const std::vector<std::uint8_t>& stream) {
  for (const std::uint8_t byte : stream) {
    const std::uint8_t result = engine.ParseByte(byte);
    Require(result <= zarn::FRAME_WRONG_SEQUENCE);
    Require(engine.rxCount < zarn::CTransfer::kFrameCapacity);
    Require((engine.stateFlags & ~zarn::FLAG_PARSER_MASK) == 0);
    if (result == zarn::FRAME_COMPLETE) Require(engine.rxCount >= 4);
  }
}

// A frame built from the payload and parsed back: complete at its end byte, and the stored
// bytes are the sequence number, the payload and the two check bytes.
void RoundTrip(zarn::CTransfer& engine, const std::vector<std::uint8_t>& payload) {
  if (!engine.BuildRequestFrame(payload.data(), static_cast<std::uint32_t>(payload.size()))) {
    Require(payload.size() * 2 + 10 > zarn::CTransfer::kFrameCapacity);
    return;
  }
  engine.ResetParser();
  std::uint8_t result = zarn::FRAME_CONTINUE;
  for (std::uint32_t i = 0; i < engine.txCount; ++i) {
    result = engine.ParseByte(engine.txFrame[i]);
    if (i + 1 < engine.txCount) Require(result == zarn::FRAME_CONTINUE);
  }
  // An answer holds at least sequence, one more byte and the check: an empty payload is short.
  if (payload.empty()) {
    Require(result == zarn::FRAME_BAD_END);
    return;
  }
  Require(result == zarn::FRAME_COMPLETE);
  Require(engine.rxCount == payload.size() + 3);
  Require(engine.rxFrame[0] == engine.sequenceNumber);
  Require(payload.empty() || std::memcmp(engine.rxFrame + 1, payload.data(), payload.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  zarn::CTransfer engine;
  engine.busAddress = input.ConsumeIntegral<std::uint8_t>();
  engine.sequenceNumber = input.ConsumeIntegral<std::uint8_t>();
  const bool roundTrip = input.ConsumeBool();
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  if (roundTrip) {
    RoundTrip(engine, bytes);
  } else {
    ParseStream(engine, bytes);
  }
  return 0;
}
