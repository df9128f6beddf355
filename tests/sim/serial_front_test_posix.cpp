#include <gtest/gtest.h>

#include <vector>

#include "tests/sim/line_client.h"
#include "tests/sim/sim_process.h"

namespace zarn::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kVersion{0x64};
const Bytes kLoaderRequest{0x73, 0x75, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Block(int seed) {
  Bytes block{0x73, 0x33};
  for (int i = 0; i < 256; ++i)
    block.push_back(static_cast<std::uint8_t>(seed * 29 + i * 13));
  return block;
}

// CRC-32 (zlib) written out once more here, so the test checks the simulator, not itself.
std::uint32_t Crc32(const Bytes& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

Bytes Trailer(const std::vector<Bytes>& blocks) {
  Bytes body;
  for (const Bytes& block : blocks)
    body.insert(body.end(), block.begin() + 2, block.end());
  Bytes trailer{0x73, 0x77};
  for (std::uint32_t value : {Crc32(body), static_cast<std::uint32_t>(body.size())}) {
    for (int shift = 0; shift < 32; shift += 8)
      trailer.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  return trailer;
}

class SerialFrontTest : public ::testing::Test {
 protected:
  void StartSim(std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--link", link, "--transcript", transcript});
    ASSERT_TRUE(sim.Start(arguments)) << sim.output();
  }
  // The status and data of the answer to one request, or nothing when none came.
  std::optional<Bytes> Ask(const LineSettings& settings, const Bytes& request,
                           int timeoutMs = 300) {
    LineClient client;
    if (!client.Open(link, settings)) return std::nullopt;
    const auto answer = client.Exchange(request, timeoutMs);
    if (!answer) return std::nullopt;
    EXPECT_TRUE(answer->checkGood);
    EXPECT_EQ(answer->sequence, client.lastSequence());
    return answer->statusAndData;
  }
  void TearDown() override {
    EXPECT_EQ(sim.Stop(), 0) << sim.output();
    EXPECT_FALSE(PathExists(link)) << "the link is removed on SIGTERM";
  }

  ScratchDir scratch;
  std::string link = scratch / "com7";
  std::string transcript = scratch / "transcript";
  SimProcess sim;
};

TEST_F(SerialFrontTest, AnswersOnlyAtItsOwnSpeedParityAndStopBits) {
  StartSim({"--parity", "O", "--stop-bits", "2", "--baud", "19200"});
  const Bytes application{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x01};
  EXPECT_FALSE(Ask({19200, false, false}, kVersion));
  EXPECT_FALSE(Ask({19200, true, false}, kVersion));
  EXPECT_FALSE(Ask({19200, false, true}, kVersion));
  EXPECT_FALSE(Ask({9600, true, true}, kVersion));
  EXPECT_EQ(Ask({19200, true, true}, kVersion), application);
  EXPECT_TRUE(
      Contains(ReadLines(transcript), "request garbled: port at 19200 N/1, reader at 19200 O/2"));
}

TEST_F(SerialFrontTest, LoaderFollowsTheBaudCommandAfterItsAnswer) {
  StartSim({"--start-in-loader", "--parity", "O"});
  const LineSettings slow{9600, false, false};
  const LineSettings fast{115200, false, false};
  ASSERT_EQ(Ask(slow, kVersion), (Bytes{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Ask(slow, {0x0F, 13}), Bytes{0x00});
  EXPECT_FALSE(Ask(slow, kVersion));
  EXPECT_TRUE(Ask(fast, kVersion));
  EXPECT_EQ(Ask(fast, {0x0F, 156}), Bytes{0x00});
  EXPECT_TRUE(Ask(slow, kVersion));
}

TEST_F(SerialFrontTest, AnswersOnlyItsOwnBusAddress) {
  StartSim({"--address", "7"});
  LineClient client;
  ASSERT_TRUE(client.Open(link, {}));
  EXPECT_FALSE(client.Exchange(kVersion, 300, 6));
  EXPECT_FALSE(client.Exchange(kVersion, 300, 0));
  const auto answer = client.Exchange(kVersion, 300, 7);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->address, 7);
}

TEST_F(SerialFrontTest, AnswerFaultsOnTheLine) {
  StartSim(
      {"--wrong-sequence", "1", "--corrupt-check", "2", "--drop-answer", "3", "--late", "4:400"});
  LineClient client;
  ASSERT_TRUE(client.Open(link, {}));
  auto answer = client.Exchange(kVersion);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->sequence, static_cast<std::uint8_t>(client.lastSequence() + 1));
  EXPECT_TRUE(answer->checkGood);
  answer = client.Exchange(kVersion);
  ASSERT_TRUE(answer);
  EXPECT_FALSE(answer->checkGood);
  EXPECT_FALSE(client.Exchange(kVersion));
  EXPECT_FALSE(client.Exchange(kVersion, 200));
  SleepMs(400);  // the late answer arrives after all
  const auto late = client.Exchange(kVersion, 500);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->sequence, client.lastSequence() - 1)
      << "the late answer of request 4 comes first";
}

// The whole upgrade as the tool runs it: loader request, restart, blocks at the upgrade rate,
// trailer, restart into the new application at the first framing.
struct UpgradeCase {
  const char* name;
  bool blocksInOrder;
  const char* checkLine;
  Bytes versionAfter;
  LineSettings lineAfter;
};

void PrintTo(const UpgradeCase& c, std::ostream* out) {
  *out << c.name;
}

class SerialUpgradeTest : public SerialFrontTest,
                          public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(SerialUpgradeTest, RunsTheUpgradeThroughTheLine) {
  StartSim({"--parity", "O", "--restart-time", "0.2"});
  const UpgradeCase& c = GetParam();
  const LineSettings application{9600, true, false};
  const LineSettings loader{9600, false, false};
  ASSERT_EQ(Ask(application, kLoaderRequest), Bytes{0x00});
  EXPECT_FALSE(Ask(loader, kVersion, 100)) << "away while it restarts";
  SleepMs(250);
  ASSERT_EQ(Ask(loader, kVersion), (Bytes{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x00}));

  LineClient client;
  ASSERT_TRUE(client.Open(link, loader));
  const std::vector<Bytes> blocks = {Block(1), Block(2), Block(3), Block(4)};
  const std::vector<Bytes> sent =
      c.blocksInOrder ? blocks : std::vector<Bytes>{Block(1), Block(3), Block(2), Block(4)};
  for (const Bytes& block : sent) {
    const auto answer = client.Exchange(block);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->statusAndData, Bytes{0x00});
  }
  const auto finished = client.Exchange(Trailer(blocks));
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->statusAndData, Bytes{0x00});
  client.Close();
  SleepMs(300);
  EXPECT_EQ(Ask(c.lineAfter, kVersion), c.versionAfter);
  EXPECT_TRUE(Contains(ReadLines(transcript), c.checkLine));
}

INSTANTIATE_TEST_SUITE_P(Images, SerialUpgradeTest,
                         ::testing::Values(UpgradeCase{"good",
                                                       true,
                                                       "image check: passed, received 1024 bytes",
                                                       {0x00, 0x06, 0x43, 0x02, 0x01, 0x00, 0x01},
                                                       {9600, true, false}},
                                           UpgradeCase{"blocks_out_of_order",
                                                       false,
                                                       "image check: failed, received 1024 bytes",
                                                       {0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x00},
                                                       {9600, false, false}}),
                         [](const ::testing::TestParamInfo<UpgradeCase>& test) {
                           return std::string(test.param.name);
                         });

}  // namespace
}  // namespace zarn::sim::test
