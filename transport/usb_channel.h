#pragma once
// The reader's own USB driver channel: finds the present interfaces of the reader's interface
// class, opens one by position and carries the transfer engine's I/O controls to it.
// docs/usb-driver-channel.md describes both platforms' drivers and their results.

#include <cstdint>
#include <memory>

#include "diag/traffic_log.h"
#include "transport/link_failure.h"

namespace zarn {

constexpr std::uint32_t IOCTL_CHANNEL_SETUP = 0x8000202C;
constexpr std::uint32_t IOCTL_CHANNEL_TRANSCEIVE = 0x2A0018;
// The search visits enumeration positions 0 to 255.
constexpr std::uint32_t kUsbSearchPositions = 256;
// A reader is given this long to complete one I/O control. Every command the tool sends is
// answered within the serial link's 1010 ms answer bound, and the driver adds little to that;
// three times the bound leaves room for a busy USB bus while a driver that stopped answering
// still ends the exchange (and the run) in seconds instead of hanging it.
constexpr std::uint32_t kDefaultIoTimeoutMs = 3000;

// One open device of the platform: its handle and its I/O event (Windows), its driver
// connection (POSIX). Closing it closes both.
struct UsbDevice;
struct UsbDeviceCloser {
  void operator()(UsbDevice* device) const;
};
using UsbDeviceHandle = std::unique_ptr<UsbDevice, UsbDeviceCloser>;

class CIOUSB {
 public:
  CIOUSB();
  CIOUSB(const CIOUSB&) = delete;
  CIOUSB& operator=(const CIOUSB&) = delete;
  virtual ~CIOUSB();

  // Closes an open device, then opens the interface at enumeration position index and sends
  // it the set-up control; true when a device is open afterwards.
  bool Open(std::int32_t index);
  // True when a device was closed; a running log is stopped either way.
  bool Close();
  bool IsOpen() const { return deviceHandle != nullptr; }
  // One transceive I/O control on the open device, waiting at most ioTimeout: 0 or a Windows
  // system error code (996 when the wait ran out and the request was cancelled). When the
  // control completed, *outputLength receives its output's byte count (never more than
  // outputCapacity); otherwise it is 0.
  std::uint32_t TransceiveControl(const std::uint8_t* input, std::uint32_t inputLength,
                                  std::uint8_t* output, std::uint32_t outputCapacity,
                                  std::uint32_t* outputLength);

  char pipeNames[2][32] = {"PIPE00", "PIPE01"};
  char devicePath[256] = {};
  std::int32_t logEnabled = 0;
  std::uint32_t ioTimeout = kDefaultIoTimeoutMs;
  std::int32_t deviceIndex = -1;
  UsbDeviceHandle deviceHandle;  // null while the channel is closed
  TrafficLog trafficLog;
  // Why the last Open found no device: osError is ERROR_NO_MORE_ITEMS when no interface of the
  // reader's class is present, else the Windows system code (on both platforms) of the last
  // interface that could not be opened. Step kNone after a successful Open.
  LinkFailure lastFailure;

 private:
  UsbDeviceHandle FindDevice(std::int32_t index, char (&path)[256]);
  UsbDeviceHandle OpenCandidate(const char* path);
  void SendSetupControl();

  // The system error of the search's last failure, for the "Failed to open" log line.
  std::uint32_t lastSearchError_ = 0;
};

}  // namespace zarn
