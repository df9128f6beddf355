// IdentifyMcu on any answer the reader may give over PC/SC: the result follows the answer's
// length, status byte and part id alone, and a name comes back exactly on success.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>

#include "app/mcu_catalogue.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "tests/support/fake_pcsc.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

const char* CatalogueName(std::uint32_t partId) {
  for (const zarn::McuDescriptor& entry : zarn::McuCatalogue) {
    if (entry.partId == partId) return entry.name;
  }
  return nullptr;
}

// The result the answer (status word included) must give.
std::uint32_t ExpectedResult(const zarn::test::Bytes& answer, const char** name) {
  *name = nullptr;
  const std::size_t n = answer.size();
  if (n < 3 || n > 300) return zarn::SCARD_E_COMM_DATA_LOST;
  if (answer[n - 2] != 0x90 || answer[n - 1] != 0x00) return zarn::SCARD_E_INVALID_PARAMETER;
  if (answer[0] != 0) return zarn::SCARD_F_INTERNAL_ERROR;
  if (n - 2 != 7) return 11;
  const std::uint32_t partId =
      answer[3] | answer[4] << 8 | answer[5] << 16 | static_cast<std::uint32_t>(answer[6]) << 24;
  *name = CatalogueName(partId);
  return *name != nullptr ? zarn::kSuccess : 13;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  zarn::test::ResetLinkState();
  zarn::test::FakePcsc pcsc;
  zarn::smartCardPathActive = true;
  zarn::smartCardReader.card = 1;
  // Mostly answers with a good status word, and often with a part id from the catalogue.
  zarn::test::Bytes answer;
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      answer = input.ConsumeRemainingBytes<std::uint8_t>();
      break;
    case 1: {
      const auto& entry = zarn::McuCatalogue[input.ConsumeIntegralInRange(0, 17)];
      answer = input.ConsumeBytes<std::uint8_t>(3);
      answer.resize(3);
      for (int shift = 0; shift < 32; shift += 8)
        answer.push_back(static_cast<std::uint8_t>(entry.partId >> shift));
      answer = zarn::test::WithStatusWord(answer);
      break;
    }
    default:
      answer = zarn::test::WithStatusWord(input.ConsumeRemainingBytes<std::uint8_t>());
  }
  pcsc.answer = [&answer](const zarn::test::Bytes&) { return answer; };

  const char* expectedName = nullptr;
  const std::uint32_t expected = ExpectedResult(answer, &expectedName);
  const char* name = "not cleared";
  const std::uint32_t result = zarn::IdentifyMcu(&name);
  Require(result == expected);
  Require(name == expectedName);
  Require(zarn::IdentifyMcu() == expected);
  zarn::test::ResetLinkState();
  return 0;
}
