#pragma once
// The references the tool is held against: the same requests sent with nothing but the system
// calls they need.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/block_frames.h"

namespace zarn::bench {

struct TimedRun {
  bool ok = false;
  double seconds = 0;
  std::uint64_t answerBytes = 0;     // received, for the serial replay
  std::vector<double> blockSeconds;  // each block's round trip, for the serial replay
};

// Opens the pty slave at path raw at baud (N/1), then for each frame: write it, poll and read
// until the answer's end byte; every answer must carry status 0.
TimedRun ReplaySerial(const std::string& path, std::uint32_t baud,
                      const std::vector<Bytes>& frames);

// The same block requests through SCardControl on the first reader whose name begins with
// readerPrefix, each behind the escape header; every answer must end in 90 00 with status 0.
TimedRun ReplayPcsc(const std::string& readerPrefix, const std::vector<Bytes>& requests);

}  // namespace zarn::bench
