// The USB driver channel on Windows: SetupAPI enumeration of the reader's interface class,
// CreateFileA for overlapped I/O, and overlapped DeviceIoControl completed on the I/O event.

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "transport/usb_channel_platform.h"
#include "transport/usb_io_calls.h"
#include "transport/usb_setupapi.h"

namespace zarn {

namespace {

const GUID READER_INTERFACE_GUID = {
    0x86937937, 0xB00F, 0x447F, {0x99, 0xBC, 0x3D, 0x57, 0x2D, 0xF8, 0x77, 0x86}};

// A detail record reported smaller than the ANSI record's fixed part cannot hold a path.
constexpr std::uint32_t kDetailFixedPart = 5;
// How long a cancelled control is given to finish before its buffers are left to the driver.
constexpr DWORD kCancelGraceMs = 1000;

void* GetClassDevs() {
  return SetupDiGetClassDevsA(&READER_INTERFACE_GUID, nullptr, nullptr,
                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

bool EnumInterface(void* set, std::uint32_t position, void* interfaceData) {
  return SetupDiEnumDeviceInterfaces(static_cast<HDEVINFO>(set), nullptr, &READER_INTERFACE_GUID,
                                     position,
                                     static_cast<SP_DEVICE_INTERFACE_DATA*>(interfaceData)) != 0;
}

bool GetInterfaceDetail(void* set, void* interfaceData, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
  DWORD required = 0;
  const BOOL fetched = SetupDiGetDeviceInterfaceDetailA(
      static_cast<HDEVINFO>(set), static_cast<SP_DEVICE_INTERFACE_DATA*>(interfaceData),
      static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail), detailSize, &required, nullptr);
  if (requiredSize != nullptr) *requiredSize = required;
  return fetched != 0;
}

void DestroyList(void* set) {
  SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(set));
}

const SetupApiCalls systemSetupApi{GetClassDevs, EnumInterface, GetInterfaceDetail, DestroyList};
const SetupApiCalls* setupApi = &systemSetupApi;

// The calling thread's last error; a failure that left none is still a failure.
std::uint32_t LastFailure() {
  const DWORD error = GetLastError();
  return error != 0 ? error : system_error::kGenFailure;
}

using DetailRecord = SP_DEVICE_INTERFACE_DETAIL_DATA_A;

// The device path from the interface's detail record: asks for the record's size, then
// fetches it into a buffer with room for the API's own record layout (whose fixed part is
// larger than 5 bytes in a 64-bit process) and a terminating zero behind whatever is written.
std::uint32_t FetchDevicePath(void* set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                              std::string& path) {
  std::uint32_t required = 0;
  setupApi->getInterfaceDetail(set, &interfaceData, nullptr, 0, &required);
  if (required < kDetailFixedPart) return ERROR_INVALID_USER_BUFFER;
  const std::size_t room = std::max<std::size_t>(required, sizeof(DetailRecord)) + 1;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[room]());
  if (buffer == nullptr) return system_error::kNotEnoughMemory;
  auto* detail = reinterpret_cast<DetailRecord*>(buffer.get());
  detail->cbSize = sizeof(DetailRecord);
  if (!setupApi->getInterfaceDetail(set, &interfaceData, detail, required, nullptr)) {
    return LastFailure();
  }
  const std::size_t pathRoom = room - offsetof(DetailRecord, DevicePath);
  path.assign(detail->DevicePath, strnlen(detail->DevicePath, pathRoom));
  return 0;
}

}  // namespace

void UseSetupApiCalls(const SetupApiCalls* calls) {
  setupApi = calls != nullptr ? calls : &systemSetupApi;
}

namespace {

bool SystemDeviceIoControl(void* device, std::uint32_t code, void* input, std::uint32_t inputLength,
                           void* output, std::uint32_t outputCapacity, std::uint32_t* returned,
                           void* overlapped) {
  DWORD count = 0;
  const BOOL done = DeviceIoControl(device, code, input, inputLength, output, outputCapacity,
                                    &count, static_cast<OVERLAPPED*>(overlapped));
  *returned = count;
  return done != 0;
}

bool SystemCancelIo(void* device) {
  return CancelIo(device) != 0;
}

const UsbIoCalls systemIoCalls{SystemDeviceIoControl, SystemCancelIo};
const UsbIoCalls* ioCalls = &systemIoCalls;

}  // namespace

void UseUsbIoCalls(const UsbIoCalls* calls) {
  ioCalls = calls != nullptr ? calls : &systemIoCalls;
}

struct UsbInterfaceSet {
  void* info;  // HDEVINFO; INVALID_HANDLE_VALUE when the set could not be had
};

void UsbInterfaceSetCloser::operator()(UsbInterfaceSet* set) const {
  if (set->info != INVALID_HANDLE_VALUE) setupApi->destroyList(set->info);
  delete set;
}

UsbInterfaceSetHandle OpenUsbInterfaceSet() {
  void* info = setupApi->getClassDevs();
  UsbInterfaceSetHandle set(new (std::nothrow) UsbInterfaceSet{info});
  if (set == nullptr && info != INVALID_HANDLE_VALUE) setupApi->destroyList(info);
  return set;
}

// Without a set every position fails with the API's own error and is skipped.
std::uint32_t UsbInterfacePath(UsbInterfaceSet& set, std::uint32_t position, std::string& path) {
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  if (!setupApi->enumInterface(set.info, position, &interfaceData)) return LastFailure();
  return FetchDevicePath(set.info, interfaceData, path);
}

struct UsbDevice {
  HANDLE handle;
  // Manual reset: the completion event of every overlapped control. When a cancelled control
  // is abandoned it takes this event with it and the device gets a fresh one, so that its late
  // completion can neither end a later control's wait nor signal a closed handle.
  HANDLE ioEvent;
  // The event could not be renewed and an abandoned control still names it: never closed.
  bool ioEventAbandoned = false;
};

void UsbDeviceCloser::operator()(UsbDevice* device) const {
  CloseHandle(device->handle);
  if (!device->ioEventAbandoned) CloseHandle(device->ioEvent);
  delete device;
}

UsbOpenOutcome OpenUsbDevice(const char* path, UsbDeviceHandle& device, std::uint32_t* error) {
  HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastFailure();
    return UsbOpenOutcome::kOpenFailed;
  }
  HANDLE ioEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (ioEvent == nullptr) {
    *error = LastFailure();
    CloseHandle(handle);
    return UsbOpenOutcome::kEventFailed;
  }
  device.reset(new (std::nothrow) UsbDevice{handle, ioEvent});
  if (device == nullptr) {
    *error = system_error::kNotEnoughMemory;
    CloseHandle(ioEvent);
    CloseHandle(handle);
    return UsbOpenOutcome::kOpenFailed;
  }
  return UsbOpenOutcome::kOpened;
}

namespace {

// What the driver writes into while a control runs: it lives on the heap so that a control
// the driver never finishes cannot write into memory that has been reused.
struct PendingControl {
  OVERLAPPED overlapped{};
  std::unique_ptr<std::uint8_t[]> output;
};

// Whether the control's record shows it completed; then *result is 0 or its error.
bool HasCompleted(UsbDevice& device, PendingControl& control, DWORD* returned,
                  std::uint32_t* result) {
  if (GetOverlappedResult(device.handle, &control.overlapped, returned, FALSE) != 0) {
    *result = 0;
    return true;
  }
  const std::uint32_t error = LastFailure();
  if (error == ERROR_IO_INCOMPLETE) return false;
  *result = error;
  return true;
}

// Waits at most timeoutMs for this control on the device's I/O event. The event is reset
// before the record is read again, so that a signal that was not this control's completion
// cannot end the wait and a completion in between is never missed.
bool AwaitCompletion(UsbDevice& device, PendingControl& control, DWORD timeoutMs, DWORD* returned,
                     std::uint32_t* result) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (HasCompleted(device, control, returned, result)) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    if (WaitForSingleObject(device.ioEvent, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
      return HasCompleted(device, control, returned, result);
    }
    ResetEvent(device.ioEvent);
  }
}

// A control that ignored the cancel keeps its buffers and its event (deliberately never freed)
// rather than writing into freed memory or signalling a reused handle later.
void Abandon(UsbDevice& device, std::unique_ptr<PendingControl>& control) {
  HANDLE fresh = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (fresh != nullptr) {
    device.ioEvent = fresh;
    device.ioEventAbandoned = false;  // the fresh event is the device's own
  } else {
    device.ioEventAbandoned = true;
  }
  control.release();
}

// A control that went pending: the bounded wait, then the cancel of one that has not
// completed, which is reported as ERROR_IO_INCOMPLETE with no output. 997 never becomes a
// result.
std::uint32_t FinishPending(UsbDevice& device, std::unique_ptr<PendingControl>& control,
                            DWORD timeoutMs, DWORD* returned) {
  std::uint32_t result = 0;
  if (!AwaitCompletion(device, *control, timeoutMs, returned, &result)) {
    *returned = 0;
    ioCalls->cancelIo(device.handle);
    DWORD ignored = 0;
    std::uint32_t cancelled = 0;
    if (!AwaitCompletion(device, *control, kCancelGraceMs, &ignored, &cancelled)) {
      Abandon(device, control);
    }
    result = system_error::kIoIncomplete;
  }
  ResetEvent(device.ioEvent);
  return result;
}

}  // namespace

std::uint32_t UsbIoControl(UsbDevice& device, std::uint32_t code, const std::uint8_t* input,
                           std::uint32_t inputLength, std::uint8_t* output,
                           std::uint32_t outputCapacity, std::uint32_t* outputLength,
                           std::uint32_t timeoutMs) {
  *outputLength = 0;
  std::unique_ptr<PendingControl> control(new (std::nothrow) PendingControl);
  if (control == nullptr) return system_error::kNotEnoughMemory;
  if (outputCapacity > 0) {
    control->output.reset(new (std::nothrow) std::uint8_t[outputCapacity]);
    if (control->output == nullptr) return system_error::kNotEnoughMemory;
  }
  control->overlapped.hEvent = device.ioEvent;
  std::uint32_t atOnce = 0;
  DWORD returned = 0;
  std::uint32_t result = 0;
  if (ioCalls->deviceIoControl(device.handle, code, const_cast<std::uint8_t*>(input), inputLength,
                               control->output.get(), outputCapacity, &atOnce,
                               &control->overlapped)) {
    returned = atOnce;
  } else {
    result = LastFailure();
    if (result == ERROR_IO_PENDING) result = FinishPending(device, control, timeoutMs, &returned);
  }
  // A control that failed copied nothing back, whatever count the driver stored; and whatever
  // a driver claims, no more than the output buffer's room is taken.
  const std::uint32_t count = result != 0 ? 0 : std::min<std::uint32_t>(returned, outputCapacity);
  if (count > 0) std::memcpy(output, control->output.get(), count);
  *outputLength = count;
  return result;
}

}  // namespace zarn
