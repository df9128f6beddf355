// Chip names the simulator accepts for --mcu, so that a user can pick a reader by the name the
// tool will show. Any other part id can be given as a number.

#include <cstdlib>
#include <string>

#include "sim/reader_model.h"

namespace zarn::sim {
namespace {

struct McuName {
  const char* name;
  std::uint32_t partId;
};

constexpr McuName kMcuNames[] = {
    {"GD32F303Cx", 0x21040414},
    {"AT32F403ACGT7", 0x70050346},
    {"LPC11E66JBD48", 0x0000DCC1},
    {"LPC11E67JBD48/64/100", 0x0000BC81},
    {"LPC11E68JBD48/64/100", 0x00007C01},
    {"LPC11U66JBD48", 0x0000DCC8},
    {"LPC11U67JBD48/64", 0x0000BC88},
    {"LPC11U67JBD100", 0x0000BC80},
    {"LPC11U68JBD48/64", 0x00007C08},
    {"LPC11U68JBD100", 0x00007C00},
    {"LPC2132", 0x0002FF11},
    {"LPC2134", 0x0002FF12},
    {"LPC2136", 0x0002FF23},
    {"LPC2138", 0x0002FF25},
    {"LPC2142", 0x0402FF11},
    {"LPC2144", 0x0402FF12},
    {"LPC2146", 0x0402FF23},
    {"LPC2148", 0x0402FF25},
};

}  // namespace

std::optional<std::uint32_t> McuPartIdByName(const std::string& text) {
  for (const McuName& entry : kMcuNames) {
    if (text == entry.name) return entry.partId;
  }
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull || text[0] == '-') return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace zarn::sim
