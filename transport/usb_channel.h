#pragma once
// The reader's own USB driver channel: finds the present interfaces of the reader's interface
// class, opens one by position and carries the transfer engine's I/O controls to it.

#include <cstdint>
#include <memory>

#include "diag/traffic_log.h"

namespace zarn {

struct UsbChannelBackend;  // the OS device handle and I/O event of one platform

class CIOUSB {
 public:
  CIOUSB();
  CIOUSB(const CIOUSB&) = delete;
  CIOUSB& operator=(const CIOUSB&) = delete;
  virtual ~CIOUSB();

  bool Open(std::int32_t index);
  bool Close();
  bool IsOpen() const;
  // One transceive I/O control on the open device: r = 0 or a Windows system error code;
  // *outputLength receives the output's byte count when the control completed.
  std::uint32_t TransceiveControl(const std::uint8_t* input, std::uint32_t inputLength,
                                  std::uint8_t* output, std::uint32_t outputCapacity,
                                  std::uint32_t* outputLength);

  char pipeNames[2][32] = {"PIPE00", "PIPE01"};
  char devicePath[256] = {};
  std::int32_t logEnabled = 0;
  std::uint32_t ioTimeout = 0;
  std::int32_t deviceIndex = -1;
  TrafficLog trafficLog;

 private:
  std::unique_ptr<UsbChannelBackend> backend_;
};

}  // namespace zarn
