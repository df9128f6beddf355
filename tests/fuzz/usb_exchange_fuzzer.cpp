// The engine's USB output handling: a series of commands over the reader's own USB driver,
// each answered with an arbitrary output (0 to more than the engine's 1024 bytes of room) and
// an arbitrary outcome of the I/O control. Every result must leave the CommandBlock and the
// engine's answer buffer consistent: success only with the status byte 0 in front, the status
// byte alone for a refusal, nothing for a failure.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>

#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/transfer.h"
#include "tests/fuzz/fuzz_usb_driver.h"
#include "tests/support/fake_pcsc.h"

namespace {

// Outcomes a driver reports: success, the channel's own failures, and anything else.
constexpr std::uint32_t kOutcomes[] = {0, 0, 0, 0, 996, 1167, 234, 13, 31, 87, 122, 170};

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckExchange(std::uint32_t result, std::uint32_t controlResult,
                   const zarn::fuzz::UsbOutcome& outcome, const zarn::CTransfer& engine) {
  const zarn::CommandBlock& block = zarn::commandBlock;
  const std::size_t delivered = std::min<std::size_t>(outcome.output.size(), 1024);
  Require(block.responseLength <= zarn::CommandBlock::kCapacity);
  Require(engine.rxBuffer.length <= zarn::CTransceiveBuffer::kCapacity);
  if (controlResult != 0) {
    Require(result == controlResult && block.responseLength == 0);
  } else if (delivered == 0) {
    Require(result == zarn::SCARD_E_COMM_DATA_LOST && block.responseLength == 0);
  } else if (outcome.output[0] != 0) {
    Require(result == zarn::SCARD_F_INTERNAL_ERROR && engine.rxBuffer.length == 1 &&
            engine.rxBuffer.data[0] == outcome.output[0]);
  } else {
    Require(result == zarn::kSuccess);
    Require(block.responseLength == std::min<std::size_t>(delivered, 300));
    Require(std::memcmp(block.response, outcome.output.data(), block.responseLength) == 0);
  }
  Require((engine.stateFlags & zarn::FLAG_BUSY) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  zarn::test::ResetLinkState();
  zarn::CTransfer engine;
  zarn::transferEngine = &engine;
  zarn::fuzz::usbPresent = true;
  Require(engine.Open(0, 0, 'N', "1"));

  zarn::fuzz::UsbOutcome outcome;
  zarn::fuzz::usbTransceive = [&outcome](const std::uint8_t*, std::uint32_t) { return outcome; };
  for (int exchange = 0; exchange < 8 && input.remaining_bytes() > 0; ++exchange) {
    const std::uint32_t controlResult = input.PickValueInArray(kOutcomes);
    outcome.result = controlResult;
    outcome.output =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 1100));
    const auto requestLength = input.ConsumeIntegralInRange<std::uint32_t>(1, 300);
    zarn::commandBlock.requestLength = requestLength;
    const std::uint32_t result = zarn::ExchangeCommand();
    CheckExchange(result, controlResult, outcome, engine);
  }
  zarn::fuzz::usbTransceive = nullptr;
  zarn::transferEngine = nullptr;
  zarn::test::ResetLinkState();
  return 0;
}
