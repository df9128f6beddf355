#pragma once
// The firmware images the tool carries inside itself: a body of whole 256-byte blocks followed
// by an 8-byte trailer, both opaque and sent exactly as stored.

#include <cstdint>

namespace zarn {

struct FirmwareImage {
  const std::uint8_t* bytes;
  std::uint32_t length;  // body and trailer
};

extern const FirmwareImage kAt32Image;   // chips whose name begins with 'A'
extern const FirmwareImage kLpc11Image;  // LPC chips

}  // namespace zarn
