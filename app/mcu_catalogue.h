#pragma once
// The microcontrollers the reader firmware runs on, how the tool asks for one, and which
// embedded image serves it.

#include <cstdint>

#include "app/firmware_image.h"

namespace zarn {

struct McuDescriptor {
  std::uint32_t partId;
  const char* name;  // as stored: LPC names without their "LPC" prefix
};

// Positions 1 to 18 of the catalogue; position 0 stands for "not found".
extern const McuDescriptor McuCatalogue[18];

// Asks the reader for its part id and looks it up; on success *nameOut (when given) is the
// catalogue name. 0, the exchange's code, 11 (answer not 7 bytes), 12 (status not 0) or 13.
std::uint32_t IdentifyMcu(const char** nameOut = nullptr);

// "%s" for names beginning with 'A' or 'G', "LPC%s" for the others.
const char* McuDisplayFormat(const char* name);

// 'A': the AT32 image; 'G': none (an empty image); anything else: the LPC11 image.
FirmwareImage ChooseImage(const char* name);

}  // namespace zarn
