#pragma once
// The Windows calls behind the USB channel's I/O controls, as a table that tests replace to
// play a driver that completes at once, later, only after a cancel, or after the channel gave
// up on it (Wine has no such driver). The types are the API's, passed as opaque pointers so
// that no Windows header is needed here: device = HANDLE, overlapped = OVERLAPPED*. Each call
// reports its failure through GetLastError, as the API does; completions are read with the
// system's GetOverlappedResult, from the record the driver fills in. Windows build only.

#include <cstdint>

namespace zarn {

struct UsbIoCalls {
  // DeviceIoControl with an OVERLAPPED record: true when it completed at once, false with
  // ERROR_IO_PENDING while it runs, false with another error when it failed.
  bool (*deviceIoControl)(void* device, std::uint32_t code, void* input, std::uint32_t inputLength,
                          void* output, std::uint32_t outputCapacity, std::uint32_t* returned,
                          void* overlapped);
  // CancelIo: asks the driver to end this thread's outstanding controls on the device.
  bool (*cancelIo)(void* device);
};

// nullptr puts the system's calls back.
void UseUsbIoCalls(const UsbIoCalls* calls);

}  // namespace zarn
