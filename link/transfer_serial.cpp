// The transfer engine's serial path: frame the request, queue it as write packets, wait for
// the answer frame that the serial worker feeds through OnSerialData, and take the status byte
// and data from it.

#include <algorithm>

#include "link/frame_codec.h"
#include "link/result_codes.h"
#include "link/transfer.h"

namespace zarn {
namespace {

// The value the serial port reports whenever an outstanding event wait completes: the watched
// mask, not an error.
constexpr std::uint32_t kWatchedEventMask = kSerialEventBreak | kSerialEventError;
// A read that failed with ERROR_INVALID_FUNCTION is not taken as a link error.
constexpr std::uint32_t kIgnoredReadError = 1;

// Stored answer bytes around the status byte and data: sequence, skipped byte, two check bytes.
constexpr std::uint32_t kStatusIndex = 2;
constexpr std::uint32_t kFramingBytes = 4;

}  // namespace

std::uint32_t CTransfer::TransceiveSerial() {
  if (!BuildRequestFrame(txBuffer.data, txBuffer.length)) {
    stateFlags = 0;
    return SCARD_E_INVALID_PARAMETER;
  }
  ArmAnswer();
  if (serialPort.IsOpen()) QueueFrame();
  return TakeAnswer(responseEvent.Wait(responseTimeout));
}

// Everything of an earlier answer goes before this request is queued: an answer that arrived
// after its own exchange gave up must never pass for this one's.
void CTransfer::ArmAnswer() {
  std::lock_guard lock(answerLock_);
  ResetParser();
  responseEvent.Reset();
  answerReady_ = false;
  answerWanted_ = true;
}

void CTransfer::QueueFrame() {
  const std::uint32_t packetSize = serialPort.maxPacketSize > 0
                                       ? static_cast<std::uint32_t>(serialPort.maxPacketSize)
                                       : kFrameCapacity;
  bool queued = false;
  for (std::uint32_t offset = 0; offset < txCount; offset += packetSize) {
    const std::uint32_t length = std::min(packetSize, txCount - offset);
    SERIAL_WRITE_PACKET* packet = AllocateWritePacket(txFrame + offset, length);
    if (packet == nullptr) break;
    if (!serialPort.writeQueue.Append(packet)) {
      ReleaseWritePacket(packet);
      break;
    }
    queued = true;
  }
  if (!queued) return;
  if (serialPort.logLevel != 0) {
    serialPort.trafficLog.Print("TX: Size = %4d\r\n", static_cast<int>(txCount));
    serialPort.trafficLog.Dump(txFrame, txCount);
  }
  serialPort.RequestWrite();
}

// Ends the worker's part in this exchange; true when the answer had completed by then. An
// answer that completes in the instant between a timed-out wait and this call still counts:
// the exchange had not given up on it yet.
bool CTransfer::DisarmAnswer() {
  std::lock_guard lock(answerLock_);
  answerWanted_ = false;
  const bool ready = answerReady_;
  answerReady_ = false;
  return ready;
}

std::uint32_t CTransfer::TakeAnswer(platform::WaitResult waited) {
  if (DisarmAnswer()) {
    responseEvent.Reset();
  } else {
    lastError = waited == platform::WaitResult::kAbandoned ? ERROR_INVALID_HANDLE_STATE_CODE
                                                           : ERROR_TIMEOUT_CODE;
  }
  // The worker no longer touches the parser state.
  const std::uint32_t error = lastError;
  stateFlags = 0;
  if (error != kSuccess) return error;
  const std::uint8_t status = rxFrame[kStatusIndex];
  if (status != 0) {
    rxBuffer.PushByte(status);
    return SCARD_F_INTERNAL_ERROR;
  }
  rxBuffer.AppendBytes(rxFrame + kStatusIndex, rxCount - kFramingBytes);
  return kSuccess;
}

void CTransfer::OnSerialStatus(std::int32_t, std::int32_t kind, std::uint32_t value,
                               void* context) {
  if (context == nullptr) return;
  if (kind == SERN_READ && value == kIgnoredReadError) return;
  if (value == kWatchedEventMask) return;
  static_cast<CTransfer*>(context)->lastError = value;
}

void CTransfer::OnSerialData(std::int32_t, const std::uint8_t* bytes, std::int32_t count,
                             void* context) {
  if (context == nullptr || bytes == nullptr || count <= 0) return;
  static_cast<CTransfer*>(context)->ParseChunk(bytes, count);
}

// Only the result of a chunk's last byte counts: a frame completed in the middle of a chunk
// with more bytes behind it is not an answer.
void CTransfer::ParseChunk(const std::uint8_t* bytes, std::int32_t count) {
  std::lock_guard lock(answerLock_);
  // Bytes that arrive while no exchange waits, or after its answer, belong to no request.
  if (!answerWanted_ || answerReady_) return;
  std::uint8_t result = FRAME_CONTINUE;
  for (std::int32_t i = 0; i < count; ++i) {
    result = ParseByte(bytes[i]);
    if (result > FRAME_CONTINUE) {
      lastError = result;
      return;
    }
  }
  if (result == FRAME_COMPLETE) {
    answerReady_ = true;
    responseEvent.Set();
  }
}

}  // namespace zarn
