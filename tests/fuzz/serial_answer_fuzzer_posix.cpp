// The serial answer path: one request goes out on a COM port (a pseudo-terminal); while the
// engine's Transceive waits, the reader's answer arrives through OnSerialData in chunks cut at
// arbitrary places, as the serial worker would deliver them. The result and the answer buffer
// must be exactly what a sequential reading of the same chunks gives, and within bounds.
//
// Input: bus address, the previous sequence number, whether the reader ends with a good answer
// frame of its own (without one the exchange may time out, so only the bounds are checked),
// then chunk lengths and bytes.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "link/frame_codec.h"
#include "link/result_codes.h"
#include "link/transfer.h"
#include "tests/support/environment.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Chunks = std::vector<Bytes>;

constexpr int kCom = 40;
constexpr std::uint32_t kLongWaitMs = 10000;  // never reached: the answer is fed in microseconds
constexpr std::uint32_t kShortWaitMs = 2;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// The answer the reader ends with: status 0, no data, for the request's address and sequence.
Bytes GoodAnswer(std::uint8_t address, std::uint8_t sequence) {
  const Bytes body = {address, sequence, 0x00, 0x00};
  std::uint16_t crc = zarn::kCrcPreset;
  for (const std::uint8_t b : body)
    crc = zarn::Crc16Update(crc, b);
  crc = static_cast<std::uint16_t>(~crc);
  Bytes frame = {zarn::FRAME_START};
  auto put = [&frame](std::uint8_t b) {
    if (b > zarn::FRAME_LAST_PLAIN) {
      frame.push_back(zarn::FRAME_ESCAPE);
      frame.push_back(static_cast<std::uint8_t>(~b));
    } else {
      frame.push_back(b);
    }
  };
  for (const std::uint8_t b : body)
    put(b);
  put(static_cast<std::uint8_t>(crc & 0xFF));
  put(static_cast<std::uint8_t>(crc >> 8));
  frame.push_back(zarn::FRAME_END);
  return frame;
}

// What the engine must report for these chunks, read one after the other as the data handler
// reads them: a parser error drops the rest of its chunk; only a chunk whose last byte
// completes a good frame is the answer.
struct Expected {
  bool answered = false;
  std::uint32_t result = zarn::ERROR_TIMEOUT_CODE;
  Bytes answer;
};

Expected ReadSequentially(std::uint8_t address, std::uint8_t sequence, const Chunks& chunks) {
  zarn::CTransfer model;
  model.busAddress = address;
  model.sequenceNumber = sequence;
  std::uint32_t recorded = 0;
  Expected expected;
  for (const Bytes& chunk : chunks) {
    std::uint8_t last = zarn::FRAME_CONTINUE;
    for (const std::uint8_t b : chunk) {
      last = model.ParseByte(b);
      if (last > zarn::FRAME_CONTINUE) {
        recorded = last;
        break;
      }
    }
    if (last != zarn::FRAME_COMPLETE) continue;
    expected.answered = true;
    const std::uint8_t status = model.rxFrame[2];
    if (recorded != 0) {
      expected.result = recorded;
    } else if (status != 0) {
      expected.result = zarn::SCARD_F_INTERNAL_ERROR;
      expected.answer = {status};
    } else {
      expected.result = zarn::kSuccess;
      expected.answer.assign(model.rxFrame + 2, model.rxFrame + model.rxCount - 2);
    }
    break;
  }
  return expected;
}

// The far end of the COM port: takes each request frame off the line, then feeds the chunks of
// the current case to the engine's data handler.
class Reader {
 public:
  Reader() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    Require(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    zarn::test::SetEnvironment("ZARN_COM40", ptsname(master_));
    thread_ = std::thread([this] { Run(); });
  }

  // Hands over one case; returns at once.
  void Start(zarn::CTransfer* engine, Chunks chunks) {
    std::lock_guard lock(lock_);
    engine_ = engine;
    chunks_ = std::move(chunks);
    busy_ = true;
    changed_.notify_all();
  }

  // Waits until the chunks of the current case have all been fed.
  void Finish() {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return !busy_; });
  }

 private:
  void Run() {
    for (;;) {
      std::unique_lock lock(lock_);
      changed_.wait(lock, [this] { return busy_; });
      lock.unlock();
      TakeRequestFrame();
      for (const Bytes& chunk : chunks_) {
        zarn::CTransfer::OnSerialData(kCom - 1, chunk.data(),
                                      static_cast<std::int32_t>(chunk.size()), engine_);
      }
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    }
  }

  // Reads up to the request frame's end byte: from then on the exchange waits for its answer.
  void TakeRequestFrame() {
    std::uint8_t byte = 0;
    do {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 5000) <= 0 || read(master_, &byte, 1) != 1) return;
    } while (byte != zarn::FRAME_END);
  }

  int master_ = -1;
  std::mutex lock_;
  std::condition_variable changed_;
  bool busy_ = false;
  zarn::CTransfer* engine_ = nullptr;
  Chunks chunks_;
  std::thread thread_;
};

// Opened once, after the reader has mapped the COM port; it lives as long as the process.
zarn::CTransfer& OpenEngine() {
  static zarn::CTransfer* engine = [] {
    auto* opened = new zarn::CTransfer;
    opened->InstallLinkCallbacks();
    Require(opened->Open(kCom - 1, 9600, 'N', "1"));
    return opened;
  }();
  return *engine;
}

Reader& TheReader() {
  static Reader* reader = new Reader;
  return *reader;
}

void CheckBounds(std::uint32_t result, const zarn::CTransfer& engine) {
  const auto& rx = engine.rxBuffer;
  if (result == zarn::kSuccess) {
    Require(rx.length <= zarn::CTransfer::kFrameCapacity - 5);
    Require(rx.length == 0 || rx.data[0] == 0);
  } else if (result == zarn::SCARD_F_INTERNAL_ERROR) {
    Require(rx.length == 1 && rx.data[0] != 0);
  } else {
    Require(rx.length == 0);
    Require(result == zarn::ERROR_TIMEOUT_CODE ||
            (result >= zarn::FRAME_BAD_CHECK && result <= zarn::FRAME_WRONG_SEQUENCE));
  }
  Require((engine.stateFlags & zarn::FLAG_BUSY) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Reader& reader = TheReader();
  zarn::CTransfer& engine = OpenEngine();
  const std::uint8_t address = input.ConsumeBool() ? input.ConsumeIntegral<std::uint8_t>() : 0;
  // The sequence number of the previous request, so that an input can carry a matching answer.
  const auto previousSequence = input.ConsumeIntegral<std::uint8_t>();
  const bool endsWithGoodAnswer = input.ConsumeIntegralInRange(0, 15) != 0;
  Chunks chunks;
  while (input.remaining_bytes() > 0 && chunks.size() < 64) {
    const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 1100);
    Bytes chunk = input.ConsumeBytes<std::uint8_t>(length);
    if (chunk.empty()) break;
    chunks.push_back(std::move(chunk));
  }
  engine.busAddress = address;
  engine.sequenceNumber = previousSequence;
  const auto sequence = static_cast<std::uint8_t>(previousSequence + 1);
  if (endsWithGoodAnswer) chunks.push_back(GoodAnswer(address, sequence));
  const Expected expected = ReadSequentially(address, sequence, chunks);

  engine.responseTimeout = endsWithGoodAnswer ? kLongWaitMs : kShortWaitMs;
  engine.txBuffer.length = 0;
  engine.txBuffer.PushByte(0x64);
  reader.Start(&engine, chunks);
  const std::uint32_t result = engine.Transceive();
  reader.Finish();

  CheckBounds(result, engine);
  if (endsWithGoodAnswer) {
    Require(result == expected.result);
    Require(Bytes(engine.rxBuffer.data, engine.rxBuffer.data + engine.rxBuffer.length) ==
            expected.answer);
  }
  return 0;
}
