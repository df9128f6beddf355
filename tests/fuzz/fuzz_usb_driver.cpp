#include "tests/fuzz/fuzz_usb_driver.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "transport/usb_channel_platform.h"

namespace zarn {

namespace fuzz {
std::function<UsbOutcome(const std::uint8_t*, std::uint32_t)> usbTransceive;
bool usbPresent = true;
}  // namespace fuzz

struct UsbDevice {};
struct UsbInterfaceSet {};

void UsbDeviceCloser::operator()(UsbDevice* device) const {
  delete device;
}

void UsbInterfaceSetCloser::operator()(UsbInterfaceSet* set) const {
  delete set;
}

UsbInterfaceSetHandle OpenUsbInterfaceSet() {
  return UsbInterfaceSetHandle(new UsbInterfaceSet);
}

std::uint32_t UsbInterfacePath(UsbInterfaceSet&, std::uint32_t position, std::string& path) {
  if (position > 0 || !fuzz::usbPresent) return system_error::kNoMoreItems;
  path = "fuzz-reader";
  return 0;
}

UsbOpenOutcome OpenUsbDevice(const char*, UsbDeviceHandle& device, std::uint32_t*) {
  device.reset(new UsbDevice);
  return UsbOpenOutcome::kOpened;
}

std::uint32_t UsbIoControl(UsbDevice&, std::uint32_t code, const std::uint8_t* input,
                           std::uint32_t inputLength, std::uint8_t* output,
                           std::uint32_t outputCapacity, std::uint32_t* outputLength,
                           std::uint32_t) {
  *outputLength = 0;
  if (code != IOCTL_CHANNEL_TRANSCEIVE || !fuzz::usbTransceive) return 0;
  const fuzz::UsbOutcome outcome = fuzz::usbTransceive(input, inputLength);
  const auto count =
      static_cast<std::uint32_t>(std::min<std::size_t>(outcome.output.size(), outputCapacity));
  if (count > 0) std::memcpy(output, outcome.output.data(), count);
  *outputLength = count;
  return outcome.result;
}

}  // namespace zarn
