#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/sim/line_client.h"
#include "tests/sim/sim_process.h"

namespace zarn::sim::test {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kBaud = 9600;
constexpr int kBlocks = 4;

// With --pace an answer is complete only after the request's and its own line time have passed
// (10 bits a byte), so a block exchange at 9600 baud takes about 280 ms instead of next to none.
TEST(Pacing, BlockExchangesTakeTheirLineTime) {
  ScratchDir scratch;
  SimProcess sim;
  const std::string link = scratch / "com3";
  ASSERT_TRUE(sim.Start({"--link", link, "--pace", "--start-in-loader"})) << sim.output();
  LineClient client;
  ASSERT_TRUE(client.Open(link, {kBaud, false, false}));

  double wireSeconds = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kBlocks; ++i) {
    Bytes block{0x73, 0x33};
    block.resize(258, static_cast<std::uint8_t>(i));
    const auto answer = client.Exchange(block, 2000);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->statusAndData, Bytes{0x00});
    const std::size_t answerWireLength = 8;  // FD, address, sequence, spare, status, check, FE
    wireSeconds += (client.lastRequestWireLength() + answerWireLength) * 10.0 / kBaud;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(elapsed, wireSeconds * 0.97);
  EXPECT_LE(elapsed, wireSeconds * 1.5 + 0.5) << "generous: the machine is shared";
  EXPECT_EQ(sim.Stop(), 0) << sim.output();
}

}  // namespace
}  // namespace zarn::sim::test
