// One PC/SC escape exchange: any request length the caller may set and any answer the reader
// may give (0 to 2048 bytes, any status word).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "link/command_exchange.h"
#include "link/smart_card_reader.h"
#include "tests/support/fake_pcsc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zarn::test::Bytes;
  FuzzedDataProvider input(data, size);
  zarn::test::ResetLinkState();
  zarn::test::FakePcsc pcsc;
  zarn::smartCardPathActive = true;
  zarn::smartCardReader.card = 1;

  const auto requestLength = input.ConsumeIntegralInRange<std::uint32_t>(0, 400);
  const Bytes answer = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 2048));
  pcsc.answer = [&answer](const Bytes&) { return answer; };
  zarn::commandBlock.requestLength = requestLength;
  const std::uint32_t result = zarn::ExchangeCommand();
  if (result == 0 && zarn::commandBlock.responseLength > zarn::CommandBlock::kCapacity) {
    __builtin_trap();  // an answer longer than the block was accepted
  }
  zarn::test::ResetLinkState();
  return 0;
}
