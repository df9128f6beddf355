// The transfer engine's serial path over a pseudo-terminal, with a scripted reader on the
// master: results, time-outs, chunking of the answer, refused requests, sequence numbers and
// answers that come too late.

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "link/frame_codec.h"
#include "link/result_codes.h"
#include "link/transfer.h"
#include "tests/serial/pty_peer.h"

namespace zarn {
namespace {

using test::AnswerFrame;
using test::Bytes;
using test::FramePeer;
using test::Pty;
using test::RequestFrame;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 33;
constexpr std::int32_t kPortIndex = kCom - 1;

class TransferSerialTest : public testing::Test {
 protected:
  TransferSerialTest() {
    pty.MapAsCom(kCom);
    engine.InstallLinkCallbacks();
  }

  bool Open() { return engine.Open(kPortIndex, 9600, 'N', "1"); }

  std::uint32_t Send(const Bytes& request) {
    engine.txBuffer.length = 0;
    engine.txBuffer.AppendBytes(request.data(), static_cast<std::uint32_t>(request.size()));
    return engine.Transceive();
  }

  Bytes Answer() const {
    return Bytes(engine.rxBuffer.data, engine.rxBuffer.data + engine.rxBuffer.length);
  }

  // Feeds chunks to the engine's data handler as the serial worker would.
  void Feed(const std::vector<Bytes>& chunks) {
    for (const Bytes& chunk : chunks) {
      CTransfer::OnSerialData(kPortIndex, chunk.data(), static_cast<std::int32_t>(chunk.size()),
                              &engine);
    }
  }

  Pty pty;
  CTransfer engine;
};

TEST_F(TransferSerialTest, AnswersBecomeResults) {
  struct Case {
    const char* name;
    Bytes answer;
    std::uint32_t result;
    Bytes rxBuffer;
  };
  Bytes longest{0x00};
  longest.resize(1019, 0xFE);  // the most a 1023-byte store can carry, every byte escaped
  const Case cases[] = {
      {"status 0 with data", {0x00, 0x11, 0x22}, kSuccess, {0x00, 0x11, 0x22}},
      {"status 5", {0x05, 0x11}, SCARD_F_INTERNAL_ERROR, {0x05}},
      {"longest answer", longest, kSuccess, longest},
  };
  // Exchange n carries sequence number n and is answered from case n - 1.
  FramePeer peer(pty, [&cases](const RequestFrame& request, Pty& line) {
    line.Write(AnswerFrame(request.address, request.sequence, cases[request.sequence - 1].answer));
  });
  ASSERT_TRUE(Open());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Send({0x64}), c.result);
    EXPECT_EQ(Answer(), c.rxBuffer);
    EXPECT_EQ(engine.stateFlags, 0);
  }
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(requests[0].checkGood);
  EXPECT_EQ(requests[0].payload, Bytes{0x64});
}

TEST_F(TransferSerialTest, NoAnswerTimesOutAfter1010Ms) {
  ASSERT_TRUE(Open());
  const auto start = Clock::now();
  EXPECT_EQ(Send({0x64}), ERROR_TIMEOUT_CODE);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1005));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  EXPECT_EQ(engine.rxBuffer.length, 0u);
  EXPECT_EQ(engine.stateFlags, 0);
}

TEST_F(TransferSerialTest, BadCheckTimesOut) {
  FramePeer peer(pty, [](const RequestFrame& request, Pty& line) {
    Bytes frame = AnswerFrame(request.address, request.sequence, {0x00, 0x11, 0x22});
    frame[5] ^= 0x01;
    line.Write(frame);
  });
  ASSERT_TRUE(Open());
  engine.responseTimeout = 300;
  EXPECT_EQ(Send({0x64}), ERROR_TIMEOUT_CODE);
}

// How the answer's bytes are cut into reads decides; the chunks are fed to the handler
// directly, since a pty may cut them differently on its own.
TEST_F(TransferSerialTest, AnswerChunking) {
  struct Case {
    std::string name;
    std::vector<Bytes> chunks;
    std::uint32_t result;
  };
  // Built for the sequence numbers 1, 2, ... that the exchanges below carry.
  std::vector<Case> cases;
  const auto good = [](std::uint8_t sequence) {
    return AnswerFrame(0x00, sequence, {0x00, 0x11, 0x22});
  };
  const auto join = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  std::uint8_t sequence = 1;
  cases.push_back({"whole", {good(sequence++)}, kSuccess});
  const std::size_t length = good(1).size();
  for (std::size_t cut = 1; cut < length; ++cut, ++sequence) {
    const Bytes frame = good(sequence);
    cases.push_back({"cut at " + std::to_string(cut),
                     {Bytes(frame.begin(), frame.begin() + static_cast<long>(cut)),
                      Bytes(frame.begin() + static_cast<long>(cut), frame.end())},
                     kSuccess});
  }
  {
    std::vector<Bytes> single;
    for (const std::uint8_t byte : good(sequence++))
      single.push_back({byte});
    cases.push_back({"byte by byte", single, kSuccess});
  }
  cases.push_back(
      {"good frame and a byte in one read", {join(good(sequence++), {0x00})}, ERROR_TIMEOUT_CODE});
  cases.push_back({"good frame, then a byte in the next read", {good(sequence), {0x00}}, kSuccess});
  ++sequence;
  cases.push_back({"stale and good frame in one read",
                   {join(good(static_cast<std::uint8_t>(sequence - 1)), good(sequence))},
                   ERROR_TIMEOUT_CODE});
  ++sequence;
  cases.push_back({"stale frame, then the good one",
                   {good(static_cast<std::uint8_t>(sequence - 1)), good(sequence)},
                   FRAME_WRONG_SEQUENCE});
  ++sequence;
  cases.push_back({"noise, then the good frame", {{0x10, 0x20}, good(sequence)}, FRAME_NO_START});
  ++sequence;
  {
    Bytes bad = good(sequence);
    bad[4] ^= 0x40;
    cases.push_back({"bad check, then the good frame", {bad, good(sequence)}, FRAME_BAD_CHECK});
    ++sequence;
  }

  std::atomic<std::size_t> index{0};
  FramePeer peer(pty, [&](const RequestFrame&, Pty&) { Feed(cases[index].chunks); });
  ASSERT_TRUE(Open());
  engine.responseTimeout = 150;
  for (; index < cases.size(); ++index) {
    SCOPED_TRACE(cases[index].name);
    EXPECT_EQ(Send({0x64}), cases[index].result);
    if (cases[index].result == kSuccess) {
      EXPECT_EQ(Answer(), (Bytes{0x00, 0x11, 0x22}));
    }
  }
}

TEST_F(TransferSerialTest, RefusedRequestsSendNothing) {
  EXPECT_EQ(Send({0x64}), SCARD_E_NO_READERS_AVAILABLE) << "before Open";
  ASSERT_TRUE(Open());
  EXPECT_EQ(Send({}), SCARD_E_NOT_TRANSACTED);
  EXPECT_EQ(engine.sequenceNumber, 0);
  // 600 reserved bytes need 1200 bytes on the wire: more than the frame store holds.
  EXPECT_EQ(Send(Bytes(600, 0xFD)), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(engine.sequenceNumber, 0);
  EXPECT_EQ(engine.stateFlags, 0);
  EXPECT_TRUE(pty.ReadUntilQuiet(100).empty());
}

TEST_F(TransferSerialTest, SequenceNumbersRunOnAcrossReopen) {
  FramePeer peer(pty, [](const RequestFrame& request, Pty& line) {
    line.Write(AnswerFrame(request.address, request.sequence, {0x00}));
  });
  engine.busAddress = 0x11;
  ASSERT_TRUE(Open());
  EXPECT_EQ(Send({0x22}), kSuccess);
  EXPECT_EQ(Send({0x22}), kSuccess);
  EXPECT_TRUE(engine.CloseSerial());
  ASSERT_TRUE(Open());
  EXPECT_EQ(Send({0x22}), kSuccess);
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].sequence, i + 1);
    EXPECT_EQ(requests[i].address, 0x11);
  }
}

// An answer that comes after its exchange gave up is never taken as the next one's.
TEST_F(TransferSerialTest, LateAnswerIsNotTheNextExchangesAnswer) {
  std::atomic<int> lateWritten{0};
  FramePeer peer(pty, [&lateWritten](const RequestFrame& request, Pty& line) {
    const Bytes data{0x00, request.sequence, 0xAA};
    if (request.payload == Bytes{0x01}) {  // a slow request
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      line.Write(AnswerFrame(request.address, request.sequence, data));
      ++lateWritten;
      return;
    }
    line.Write(AnswerFrame(request.address, request.sequence, data));
  });
  ASSERT_TRUE(Open());
  engine.responseTimeout = 150;

  // The late answer is complete before the next request goes out.
  EXPECT_EQ(Send({0x01}), ERROR_TIMEOUT_CODE);
  while (lateWritten < 1)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  engine.responseTimeout = 1010;
  EXPECT_EQ(Send({0x02}), kSuccess);
  EXPECT_EQ(Answer(), (Bytes{0x00, 0x02, 0xAA}));

  // The late answer arrives while the next exchange waits.
  engine.responseTimeout = 150;
  EXPECT_EQ(Send({0x01}), ERROR_TIMEOUT_CODE);
  engine.responseTimeout = 1010;
  const std::uint32_t result = Send({0x02});
  EXPECT_NE(Answer(), (Bytes{0x00, 0x03, 0xAA})) << "the stale answer was taken";
  if (result == kSuccess) {
    EXPECT_EQ(Answer(), (Bytes{0x00, 0x04, 0xAA}));
  }

  // And the exchange after that is whole again.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Send({0x02}), kSuccess);
  EXPECT_EQ(Answer(), (Bytes{0x00, 0x05, 0xAA}));
}

TEST_F(TransferSerialTest, VanishedPortFailsTheExchangeAndStillCloses) {
  ASSERT_TRUE(Open());
  engine.responseTimeout = 300;
  pty.CloseMaster();
  EXPECT_NE(Send({0x64}), kSuccess);
  EXPECT_TRUE(engine.CloseSerial());
}

// Untrusted input: junk answers fail the exchange and never crash it.
TEST_F(TransferSerialTest, JunkAnswersFailTheExchange) {
  std::mt19937 random(7);
  FramePeer peer(pty, [&random](const RequestFrame& request, Pty& line) {
    Bytes junk(1 + random() % 1500);
    for (std::uint8_t& byte : junk) {
      const unsigned pick = random() % 8;
      byte =
          pick < 4 ? static_cast<std::uint8_t>(0xFC + pick) : static_cast<std::uint8_t>(random());
    }
    // Now and then the reader's own address and sequence follow a start byte.
    junk.insert(junk.begin(), {0xFD, request.address, request.sequence});
    line.Write(junk);
  });
  ASSERT_TRUE(Open());
  engine.responseTimeout = 60;
  for (int i = 0; i < 25; ++i) {
    EXPECT_NE(Send({0x64, static_cast<std::uint8_t>(i)}), kSuccess);
    EXPECT_LE(engine.rxBuffer.length, 1u);
  }
}

}  // namespace
}  // namespace zarn
