#include "app/mcu_catalogue.h"

#include "app/device_requests.h"
#include "app/results.h"
#include "link/result_codes.h"

namespace zarn {

const McuDescriptor McuCatalogue[18] = {
    {0x21040414, "GD32F303Cx"},
    {0x70050346, "AT32F403ACGT7"},
    {0x0000DCC1, "11E66JBD48"},
    {0x0000BC81, "11E67JBD48/64/100"},
    {0x00007C01, "11E68JBD48/64/100"},
    {0x0000DCC8, "11U66JBD48"},
    {0x0000BC88, "11U67JBD48/64"},
    {0x0000BC80, "11U67JBD100"},
    {0x00007C08, "11U68JBD48/64"},
    {0x00007C00, "11U68JBD100"},
    {0x0002FF11, "2132"},
    {0x0002FF12, "2134"},
    {0x0002FF23, "2136"},
    {0x0002FF25, "2138"},
    {0x0402FF11, "2142"},
    {0x0402FF12, "2144"},
    {0x0402FF23, "2146"},
    {0x0402FF25, "2148"},
};

namespace {

constexpr std::uint32_t kIdentifyAnswerLength = 7;

const McuDescriptor* FindMcu(std::uint32_t partId) {
  for (int position = 18; position >= 1; --position) {
    if (McuCatalogue[position - 1].partId == partId) return &McuCatalogue[position - 1];
  }
  return nullptr;
}

}  // namespace

std::uint32_t IdentifyMcu(const char** nameOut) {
  if (nameOut != nullptr) *nameOut = nullptr;
  if (const std::uint32_t result = SendRequest({0x73, 0x11, 0x36}); result != kSuccess) {
    return result;
  }
  if (AnswerLength() != kIdentifyAnswerLength) return kResultMcuAnswerLength;
  if (AnswerByte(0) != 0) return kResultMcuStatus;
  const std::uint32_t partId = AnswerByte(3) | AnswerByte(4) << 8 | AnswerByte(5) << 16 |
                               static_cast<std::uint32_t>(AnswerByte(6)) << 24;
  const McuDescriptor* mcu = FindMcu(partId);
  if (mcu == nullptr) return kResultWrongHex;
  if (nameOut != nullptr) *nameOut = mcu->name;
  return kSuccess;
}

const char* McuDisplayFormat(const char* name) {
  return name[0] == 'A' || name[0] == 'G' ? "%s" : "LPC%s";
}

FirmwareImage ChooseImage(const char* name) {
  if (name[0] == 'A') return kAt32Image;
  if (name[0] == 'G') return {nullptr, 0};
  return kLpc11Image;
}

}  // namespace zarn
