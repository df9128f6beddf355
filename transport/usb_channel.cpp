#include "transport/usb_channel.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "transport/usb_channel_platform.h"

namespace zarn {

namespace {

// IOCTL_CHANNEL_SETUP's input: 20, 20 and 0 as unsigned 32-bit little-endian values. Their
// meaning is the reader driver's.
constexpr std::uint8_t kSetupInput[12] = {20, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

CIOUSB::CIOUSB() = default;

CIOUSB::~CIOUSB() {
  Close();
}

bool CIOUSB::Open(std::int32_t index) {
  deviceIndex = index;
  if (logEnabled != 0 && !trafficLog.IsRunning()) {
    char fileName[32];
    std::snprintf(fileName, sizeof fileName, "_USB%d.log", static_cast<int>(index));
    trafficLog.Start(fileName);
  }
  if (IsOpen()) Close();
  lastFailure = {LinkStep::kOpen, system_error::kNoMoreItems};
  deviceHandle = FindDevice(index, devicePath);
  if (IsOpen()) {
    lastFailure = {};
    if (logEnabled != 0) trafficLog.Print("DeviceName = (%s)\n", devicePath);
    SendSetupControl();
  } else if (logEnabled != 0) {
    trafficLog.Print("Failed to open (%s) = %d\n", devicePath, static_cast<int>(lastSearchError_));
  }
  return IsOpen();
}

bool CIOUSB::Close() {
  if (trafficLog.IsRunning()) trafficLog.Stop();
  if (!IsOpen()) return false;
  deviceHandle.reset();
  return true;
}

std::uint32_t CIOUSB::TransceiveControl(const std::uint8_t* input, std::uint32_t inputLength,
                                        std::uint8_t* output, std::uint32_t outputCapacity,
                                        std::uint32_t* outputLength) {
  *outputLength = 0;
  if (!IsOpen()) return system_error::kDeviceNotConnected;
  return UsbIoControl(*deviceHandle, IOCTL_CHANNEL_TRANSCEIVE, input, inputLength, output,
                      outputCapacity, outputLength, ioTimeout);
}

// The index is an enumeration position, not the n-th interface that opens: every interface
// before it is opened and closed again, and one that cannot be opened at the position itself
// ends the search without a device.
UsbDeviceHandle CIOUSB::FindDevice(std::int32_t index, char (&path)[256]) {
  UsbInterfaceSetHandle set = OpenUsbInterfaceSet();
  if (set == nullptr) {
    lastSearchError_ = system_error::kNotEnoughMemory;
    return nullptr;
  }
  for (std::uint32_t position = 0; position < kUsbSearchPositions; ++position) {
    std::string found;
    const std::uint32_t lookup = UsbInterfacePath(*set, position, found);
    if (lookup != 0) {
      lastSearchError_ = lookup;
      if (lookup == system_error::kNoMoreItems) break;
      continue;
    }
    // A path that does not fit devicePath is skipped like a record that cannot be fetched.
    if (found.size() >= sizeof path) {
      lastSearchError_ = system_error::kFilenameExcedRange;
      continue;
    }
    std::memcpy(path, found.c_str(), found.size() + 1);
    UsbDeviceHandle device = OpenCandidate(path);
    if (device != nullptr && static_cast<std::int64_t>(position) == index) return device;
  }
  return nullptr;
}

UsbDeviceHandle CIOUSB::OpenCandidate(const char* path) {
  if (logEnabled != 0) trafficLog.Print("Attempting to open %s\n", path);
  UsbDeviceHandle device;
  std::uint32_t error = 0;
  switch (OpenUsbDevice(path, device, &error)) {
    case UsbOpenOutcome::kOpened:
      return device;
    case UsbOpenOutcome::kOpenFailed:
      if (logEnabled != 0) trafficLog.Print("FAILED to open %s\n", path);
      break;
    case UsbOpenOutcome::kEventFailed:
      if (logEnabled != 0) trafficLog.Print("FAILED to create event %s\n", path);
      break;
  }
  lastSearchError_ = error;
  lastFailure = {LinkStep::kOpen, error};
  return nullptr;
}

// Sent once after each open. Its outcome is not examined: readers whose driver rejects it
// work all the same. The wait is bounded like every other control.
void CIOUSB::SendSetupControl() {
  std::uint32_t outputLength = 0;
  UsbIoControl(*deviceHandle, IOCTL_CHANNEL_SETUP, kSetupInput, sizeof kSetupInput, nullptr, 0,
               &outputLength, ioTimeout);
}

}  // namespace zarn
