#pragma once
// A reader's USB driver for the fuzz targets, linked in place of the platform half of the USB
// channel (transport/usb_channel_platform.h): one interface, and I/O controls answered by a
// function that the target sets, with no socket or thread in between.

#include <cstdint>
#include <functional>
#include <vector>

namespace zarn::fuzz {

struct UsbOutcome {
  std::uint32_t result = 0;          // the control's system error code, 0 on success
  std::vector<std::uint8_t> output;  // clipped to the caller's capacity
};

// The answer to every transceive control; the set-up control always succeeds.
extern std::function<UsbOutcome(const std::uint8_t* input, std::uint32_t length)> usbTransceive;
// Whether the interface can be opened (an unplugged reader cannot).
extern bool usbPresent;

}  // namespace zarn::fuzz
