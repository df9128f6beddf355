#include "transport/usb_channel.h"

namespace zarn {

// STUB until the USB-channel work lands: no device is ever found, so the fall-back from PC/SC
// reports that the channel could not be opened.
struct UsbChannelBackend {};

CIOUSB::CIOUSB() = default;
CIOUSB::~CIOUSB() { Close(); }
bool CIOUSB::Open(std::int32_t index) {
  deviceIndex = index;
  return false;
}
bool CIOUSB::Close() { return false; }
bool CIOUSB::IsOpen() const { return false; }
std::uint32_t CIOUSB::TransceiveControl(const std::uint8_t*, std::uint32_t, std::uint8_t*,
                                        std::uint32_t, std::uint32_t* outputLength) {
  *outputLength = 0;
  return 6;  // ERROR_INVALID_HANDLE
}

}  // namespace zarn
