#include "bench/block_frames.h"

#include <cstring>
#include <memory>

#include "app/firmware_image.h"
#include "link/frame_codec.h"
#include "link/transfer.h"
#include "tests/serial/pty_peer.h"

namespace zarn::bench {
namespace {

constexpr std::uint8_t kBlockCommand[2] = {0x73, 0x33};  // 's' '3'
constexpr std::uint32_t kTrailerLength = 8;

}  // namespace

ImageBody At32Body() {
  return ImageBody{kAt32Image.bytes, kAt32Image.length - kTrailerLength};
}

Bytes BlockRequest(const ImageBody& body, std::uint32_t block) {
  Bytes request(sizeof kBlockCommand + kBlockSize);
  std::memcpy(request.data(), kBlockCommand, sizeof kBlockCommand);
  std::memcpy(request.data() + sizeof kBlockCommand, body.bytes + block * kBlockSize, kBlockSize);
  return request;
}

std::vector<Bytes> BlockFrames(const ImageBody& body, std::uint8_t busAddress,
                               std::uint8_t firstSequence) {
  auto codec = std::make_unique<CTransfer>();  // the tool's encoder; no link is opened
  codec->busAddress = busAddress;
  codec->sequenceNumber = firstSequence;
  std::vector<Bytes> frames;
  for (std::uint32_t block = 0; block < body.length / kBlockSize; ++block) {
    const Bytes request = BlockRequest(body, block);
    if (!codec->BuildRequestFrame(request.data(), static_cast<std::uint32_t>(request.size()))) {
      return {};
    }
    frames.emplace_back(codec->txFrame, codec->txFrame + codec->txCount);
  }
  return frames;
}

Bytes StatusAnswerFrame(std::uint8_t address, std::uint8_t sequence, std::uint8_t status) {
  return test::AnswerFrame(address, sequence, {status});
}

std::uint64_t TransferWireBytes(const ImageBody& body, std::uint8_t busAddress,
                                std::uint8_t firstSequence) {
  std::uint64_t bytes = 0;
  std::uint8_t sequence = firstSequence;
  for (const Bytes& frame : BlockFrames(body, busAddress, firstSequence)) {
    ++sequence;
    bytes += frame.size() + StatusAnswerFrame(busAddress, sequence, 0x00).size();
  }
  return bytes;
}

double WireSeconds(std::uint64_t bytes, std::uint32_t baud) {
  return static_cast<double>(bytes) * 10.0 / baud;
}

}  // namespace zarn::bench
