// Block transfer of the AT32 image (732 blocks) against zarn-reader-sim, the tool's block loop
// driven in process and timed with a steady clock, each beside its reference in the same run:
//   - over a pty, unpaced: the tool against a raw replay of the same frames (ratio);
//   - over a pty paced at 115200 and 921600 baud: the wire time of every frame byte both ways
//     against the measured time (efficiency), and the overhead per block;
//   - through a private pcscd: the tool against a raw SCardControl loop (ratio; needs root).
// Rows for scripts/bench go to standard output, details to standard error.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "bench/block_frames.h"
#include "bench/raw_replay.h"
#include "bench/tool_transfer.h"
#include "tests/sim/sim_process.h"

namespace zarn::bench {
namespace {

using sim::test::ScratchDir;
using sim::test::SimProcess;

constexpr int kComNumber = 42;
constexpr double kRatioTarget = 1.5;
constexpr double kPcscRatioTarget = 1.2;
constexpr double kEfficiencyTarget = 0.97;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double BlockCount() {
  return At32Body().length / kBlockSize;
}

double MicrosPerBlock(double seconds) {
  return seconds * 1e6 / BlockCount();
}

const char* Verdict(bool met) {
  return met ? "met" : "NOT met";
}

void Skip(const std::string& comparison, const std::string& why) {
  PrintRow({comparison, "-", "-", "-", "", "skipped: " + why});
}

// A simulator behind a pty, linked where COM<kComNumber> finds it.
bool StartSerialSim(SimProcess& sim, const std::string& link, std::vector<std::string> extra) {
  std::vector<std::string> arguments{"--link", link, "--start-in-loader"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  if (!sim.Start(arguments)) return false;
  setenv(("ZARN_COM" + std::to_string(kComNumber)).c_str(), link.c_str(), 1);
  return true;
}

// One timed tool transfer on a fresh opening of the port; the engine's first sequence number
// is returned for the wire count.
TimedRun ToolSerialRun(std::uint32_t baud, std::uint8_t& firstSequence) {
  auto engine = MakeEngine();
  TimedRun run;
  if (!OpenSerial(*engine, kComNumber, baud) || !ForgetReceivedBlocks()) return run;
  firstSequence = engine->sequenceNumber;
  run = ToolTransfer();
  engine->CloseSerial();
  return run;
}

// The tool's run and its reference's in one round; a reason to skip when the round cannot run.
using Round = std::function<std::optional<std::string>(TimedRun& tool, TimedRun& reference)>;

// Rounds of the tool beside its reference; the row gives the ratio of their medians per block.
void CompareRounds(const std::string& name, const std::string& reference, double target, int rounds,
                   const Round& round) {
  std::vector<double> tool;
  std::vector<double> other;
  for (int number = 1; number <= rounds; ++number) {
    TimedRun toolRun;
    TimedRun otherRun;
    if (const auto why = round(toolRun, otherRun)) return Skip(name, *why);
    if (!toolRun.ok || !otherRun.ok) return Skip(name, "a transfer failed");
    tool.push_back(toolRun.seconds);
    other.push_back(otherRun.seconds);
    std::fprintf(stderr, "%s, round %d: tool %.3f s, %s %.3f s\n", name.c_str(), number,
                 toolRun.seconds, reference.c_str(), otherRun.seconds);
  }
  const double ratio = Median(tool) / Median(other);
  PrintRow({name, Format("%.1f us", MicrosPerBlock(Median(tool))),
            Format("%.1f us %s", MicrosPerBlock(Median(other)), reference.c_str()),
            Format("%.2fx", ratio), Format("<= %.1fx", target), Verdict(ratio <= target)});
}

void UnpacedSerial(int rounds) {
  const std::string name = "2. block transfer, pty, unpaced sim (per block)";
  ScratchDir dir;
  SimProcess sim;
  const std::string link = dir / "com";
  if (!StartSerialSim(sim, link, {"--baud", "115200"})) return Skip(name, "simulator");
  const std::vector<Bytes> frames = BlockFrames(At32Body(), 0, 0);
  CompareRounds(name, "raw replay", kRatioTarget, rounds,
                [&](TimedRun& tool, TimedRun& raw) -> std::optional<std::string> {
                  std::uint8_t first = 0;
                  tool = ToolSerialRun(115200, first);
                  raw = ReplaySerial(link, 115200, frames);
                  return std::nullopt;
                });
}

void PacedSerial(std::uint32_t baud, int rounds, bool targeted) {
  const std::string name = Format("3. block transfer, pty paced at %u 8N1: efficiency", baud);
  ScratchDir dir;
  SimProcess sim;
  const std::string link = dir / "com";
  if (!StartSerialSim(sim, link, {"--baud", std::to_string(baud), "--pace"})) {
    return Skip(name, "simulator");
  }
  const ImageBody body = At32Body();
  const std::vector<Bytes> frames = BlockFrames(body, 0, 0);
  std::uint64_t rawRequestBytes = 0;
  for (const Bytes& frame : frames)
    rawRequestBytes += frame.size();
  std::vector<double> toolEfficiency;
  std::vector<double> toolOverhead;
  std::vector<double> rawEfficiency;
  for (int round = 0; round < rounds; ++round) {
    std::uint8_t first = 0;
    const TimedRun toolRun = ToolSerialRun(baud, first);
    const TimedRun rawRun = ReplaySerial(link, baud, frames);
    if (!toolRun.ok || !rawRun.ok) return Skip(name, "a transfer failed");
    const double toolWire = WireSeconds(TransferWireBytes(body, 0, first), baud);
    const double rawWire = WireSeconds(rawRequestBytes + rawRun.answerBytes, baud);
    toolEfficiency.push_back(toolWire / toolRun.seconds);
    toolOverhead.push_back(MicrosPerBlock(toolRun.seconds - toolWire));
    rawEfficiency.push_back(rawWire / rawRun.seconds);
    std::vector<double> blocks = rawRun.blockSeconds;
    std::sort(blocks.begin(), blocks.end());
    std::fprintf(stderr, "paced %u raw replay per block: min %.3f, median %.3f, max %.3f ms\n",
                 baud, blocks.front() * 1e3, Median(blocks) * 1e3, blocks.back() * 1e3);
    std::fprintf(stderr,
                 "paced %u round %d: tool %.3f s for %.3f s of wire time, raw replay %.3f s for "
                 "%.3f s\n",
                 baud, round + 1, toolRun.seconds, toolWire, rawRun.seconds, rawWire);
  }
  const double efficiency = Median(toolEfficiency);
  PrintRow({name, Format("%.1f%%, %.0f us/block over wire", efficiency * 100, Median(toolOverhead)),
            Format("raw replay %.1f%%", Median(rawEfficiency) * 100),
            Format("%.1f%%", efficiency * 100),
            targeted ? Format(">= %.0f%%", kEfficiencyTarget * 100) : "",
            targeted ? Verdict(efficiency >= kEfficiencyTarget) : "recorded"});
}

// Starts the private pcscd; false (and nothing running) when it cannot.
bool StartPcscd(const std::string& dir, const std::string& socket) {
  const std::string command = std::string(ZARN_SIM_PCSCD_SCRIPT) + " start " + dir + " " + socket +
                              " " + ZARN_SIM_IFD_LIBRARY + " 2>&1";
  FILE* output = popen(command.c_str(), "r");
  if (output == nullptr) return false;
  std::string text;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, output) != nullptr)
    text += chunk;
  const bool started = pclose(output) == 0;
  const std::string key = "PCSCLITE_CSOCK_NAME=";
  const std::size_t at = text.find(key);
  if (!started || at == std::string::npos) {
    std::fprintf(stderr, "sim-pcscd: %s", text.c_str());
    return false;
  }
  const std::size_t end = text.find('\n', at);
  setenv("PCSCLITE_CSOCK_NAME", text.substr(at + key.size(), end - at - key.size()).c_str(), 1);
  return true;
}

void StopPcscd(const std::string& dir) {
  const std::string command = std::string(ZARN_SIM_PCSCD_SCRIPT) + " stop " + dir;
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "sim-pcscd stop failed\n");
}

// pcscd lists the reader a moment after its socket appears.
bool OpenPcscSoon() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (OpenPcsc()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void PcscRounds(const std::string& name, int rounds) {
  const ImageBody body = At32Body();
  std::vector<Bytes> requests;
  for (std::uint32_t block = 0; block < body.length / kBlockSize; ++block)
    requests.push_back(BlockRequest(body, block));
  auto engine = MakeEngine();  // the tool's fall-back needs one
  CompareRounds(name, "raw SCardControl", kPcscRatioTarget, rounds,
                [&](TimedRun& tool, TimedRun& raw) -> std::optional<std::string> {
                  if (!OpenPcscSoon() || !ForgetReceivedBlocks()) return "no PC/SC reader";
                  tool = ToolTransfer();
                  ClosePcsc();
                  raw = ReplayPcsc("Korvanta Smart Card Reader", requests);
                  return std::nullopt;
                });
}

void Pcsc(int rounds) {
  const std::string name = "4. block transfer, private pcscd (per block)";
  if (geteuid() != 0) return Skip(name, "the private pcscd needs root");
  ScratchDir dir;
  SimProcess sim;
  const std::string socket = dir / "reader.sock";
  if (!sim.Start({"--pcsc-socket", socket, "--start-in-loader"})) return Skip(name, "simulator");
  const std::string pcscdDir = dir / "pcscd";
  if (!StartPcscd(pcscdDir, socket)) return Skip(name, "pcscd did not start");
  PcscRounds(name, rounds);
  StopPcscd(pcscdDir);
}

}  // namespace
}  // namespace zarn::bench

// With no argument every section runs; otherwise only those named (unpaced, paced115200,
// paced921600, pcsc).
int main(int argc, char** argv) {
  using namespace zarn::bench;
  // A tool that finds no PC/SC reader would try the USB channel; keep it away from any.
  setenv("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-bench", 1);
  const auto wanted = [&](const std::string& section) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (section == argv[i]) return true;
    }
    return false;
  };
  if (wanted("unpaced")) UnpacedSerial(5);
  // Medians of several rounds: a shared machine's hiccups land in single rounds.
  if (wanted("paced115200")) PacedSerial(115200, 3, true);
  if (wanted("paced921600")) PacedSerial(921600, 5, false);
  if (wanted("pcsc")) Pcsc(5);
  return 0;
}
