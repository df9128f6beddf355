#pragma once
// Why a transport could not be opened: the step that failed and the operating system's error
// (errno on POSIX, GetLastError on Windows). The transports print nothing; the upgrade driver
// turns this into its reason line.

#include <cstdint>

namespace zarn {

enum class LinkStep : std::uint8_t {
  kNone,    // the last opening succeeded (or none was tried)
  kOpen,    // the device could not be opened, or is held by another program
  kSetUp,   // the device opened but refused the line settings
  kWorker,  // no worker thread or wake-up could be made
};

struct LinkFailure {
  LinkStep step = LinkStep::kNone;
  std::uint32_t osError = 0;
};

}  // namespace zarn
