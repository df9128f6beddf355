// The frame codec on its own, for the record: block request frames built, and answer and block
// frames parsed, per second. Rows for scripts/bench follow Google Benchmark's own table.

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "bench/bench_table.h"
#include "bench/block_frames.h"
#include "link/frame_codec.h"
#include "link/transfer.h"

namespace zarn::bench {
namespace {

// Frames per second of each benchmark's final run, for the summary rows.
std::map<std::string, double>& Rates() {
  static std::map<std::string, double> rates;
  return rates;
}

class RateClock {
 public:
  explicit RateClock(std::string name) : name_(std::move(name)) {}
  void Finish(benchmark::State& state) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const auto frames = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    if (seconds > 0) Rates()[name_] = frames / seconds;
  }

 private:
  std::string name_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void BuildBlockFrame(benchmark::State& state) {
  const Bytes request = BlockRequest(At32Body(), 7);
  auto engine = std::make_unique<CTransfer>();
  RateClock clock("build 258-byte block request frame");
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        engine->BuildRequestFrame(request.data(), static_cast<std::uint32_t>(request.size())));
    benchmark::DoNotOptimize(engine->txFrame[engine->txCount - 1]);
  }
  clock.Finish(state);
}
BENCHMARK(BuildBlockFrame);

// Feeds a whole frame to the receive state machine; it must complete.
void ParseFrame(benchmark::State& state, const Bytes& frame, std::uint8_t sequence,
                const std::string& name) {
  auto engine = std::make_unique<CTransfer>();
  engine->sequenceNumber = sequence;
  RateClock clock(name);
  for (auto _ : state) {
    std::uint8_t result = FRAME_CONTINUE;
    for (const std::uint8_t byte : frame)
      result = engine->ParseByte(byte);
    if (result != FRAME_COMPLETE) {
      state.SkipWithError("the frame did not parse");
      return;
    }
  }
  clock.Finish(state);
}

void ParseStatusAnswer(benchmark::State& state) {
  ParseFrame(state, StatusAnswerFrame(0, 5, 0x00), 5, "parse 8-byte status answer frame");
}
BENCHMARK(ParseStatusAnswer);

void ParseBlockFrame(benchmark::State& state) {
  const std::vector<Bytes> frames = BlockFrames(At32Body(), 0, 0);
  ParseFrame(state, frames[7], 8, "parse 258-byte block frame");
}
BENCHMARK(ParseBlockFrame);

}  // namespace
}  // namespace zarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  using namespace zarn::bench;
  for (const auto& [name, rate] : Rates())
    PrintRow({"5. codec: " + name, Format("%.0f frames/s", rate), "-", "-", "", "recorded"});
  return 0;
}
