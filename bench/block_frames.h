#pragma once
// The frames of a block transfer, built with the tool's own codec, so that a raw replay sends
// exactly the bytes the transfer engine sends; and the line time of a whole transfer.

#include <cstdint>
#include <vector>

namespace zarn::bench {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBlockSize = 256;

// The image body the tool sends: the AT32 image without its 8-byte trailer (732 blocks).
struct ImageBody {
  const std::uint8_t* bytes;
  std::uint32_t length;
};
ImageBody At32Body();

// The 258-byte request of block i: 's' '3' and the block.
Bytes BlockRequest(const ImageBody& body, std::uint32_t block);

// Request frames for every block, numbered from firstSequence + 1 as the engine numbers them.
std::vector<Bytes> BlockFrames(const ImageBody& body, std::uint8_t busAddress,
                               std::uint8_t firstSequence);

// The reader's frame for a status-only answer (FD, address, sequence, spare, status, check,
// FE, escaped), as the tests' pty reader sends it.
Bytes StatusAnswerFrame(std::uint8_t address, std::uint8_t sequence, std::uint8_t status);

// Bytes on the line both ways for the whole body: every request frame and its answer frame.
std::uint64_t TransferWireBytes(const ImageBody& body, std::uint8_t busAddress,
                                std::uint8_t firstSequence);

// Seconds the bytes take on a line at baud with 10 bits a byte (start, 8 data, stop).
double WireSeconds(std::uint64_t bytes, std::uint32_t baud);

}  // namespace zarn::bench
