#pragma once
// The platform half of the USB driver channel (usb_channel_win32.cpp, usb_channel_posix.cpp):
// the present interfaces of the reader's class in enumeration order, opening one, and one I/O
// control on an open device. The search itself, its positions and its logging are portable.

#include <cstdint>
#include <memory>
#include <string>

#include "transport/usb_channel.h"

namespace zarn {

// The Windows system error codes the channel reports on both platforms.
namespace system_error {
constexpr std::uint32_t kNotEnoughMemory = 8;
constexpr std::uint32_t kInvalidData = 13;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kBusy = 170;
constexpr std::uint32_t kFilenameExcedRange = 206;
constexpr std::uint32_t kMoreData = 234;
constexpr std::uint32_t kNoMoreItems = 259;
constexpr std::uint32_t kIoIncomplete = 996;
constexpr std::uint32_t kIoPending = 997;
constexpr std::uint32_t kDeviceNotConnected = 1167;
}  // namespace system_error

// The present interfaces of the reader's class, taken once per search.
struct UsbInterfaceSet;
struct UsbInterfaceSetCloser {
  void operator()(UsbInterfaceSet* set) const;
};
using UsbInterfaceSetHandle = std::unique_ptr<UsbInterfaceSet, UsbInterfaceSetCloser>;

UsbInterfaceSetHandle OpenUsbInterfaceSet();
// The device path of the interface at an enumeration position: 0 and the path;
// ERROR_NO_MORE_ITEMS past the last interface; any other code when the position is to be
// skipped.
std::uint32_t UsbInterfacePath(UsbInterfaceSet& set, std::uint32_t position, std::string& path);

enum class UsbOpenOutcome { kOpened, kOpenFailed, kEventFailed };
// Opens a device path for overlapped I/O together with its I/O event; on failure *error holds
// the system error.
UsbOpenOutcome OpenUsbDevice(const char* path, UsbDeviceHandle& device, std::uint32_t* error);

// One I/O control, waiting at most timeoutMs for it to complete; a control still running then
// is cancelled and reported as ERROR_IO_INCOMPLETE. *outputLength as for CIOUSB's
// TransceiveControl.
std::uint32_t UsbIoControl(UsbDevice& device, std::uint32_t code, const std::uint8_t* input,
                           std::uint32_t inputLength, std::uint8_t* output,
                           std::uint32_t outputCapacity, std::uint32_t* outputLength,
                           std::uint32_t timeoutMs);

}  // namespace zarn
