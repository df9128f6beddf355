// Round trip of one framed request over a pseudo-terminal: the transfer engine's Transceive
// (queue, worker, parser, answer event) against a plain write/poll/read loop that moves the
// same bytes on the same pty. Both talk to the same echoing reader thread. The summary line
// gives the ratio of the two medians.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "link/frame_codec.h"
#include "link/result_codes.h"
#include "link/transfer.h"
#include "tests/serial/pty_peer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kComNumber = 41;
constexpr std::size_t kRequestSize = 258;  // 's', '3' and a 256-byte block
constexpr std::size_t kAnswerSize = 8;     // status byte and seven data bytes

Bytes RequestPayload() {
  Bytes payload{'s', '3'};
  for (std::size_t i = 2; i < kRequestSize; ++i)
    payload.push_back(static_cast<std::uint8_t>(i * 37));
  return payload;
}

// The reader: answers each request frame at once with an 8-byte answer for its sequence.
class EchoReader {
 public:
  EchoReader() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    slavePath_ = ptsname(master_);
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoReader() {
    stop_ = true;
    thread_.join();
    close(master_);
  }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  void Run() {
    Bytes frame;
    bool inFrame = false;
    bool escape = false;
    while (!stop_) {
      pollfd wait{master_, POLLIN, 0};
      if (poll(&wait, 1, 20) <= 0) continue;
      std::uint8_t chunk[2048];
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) {
        const std::uint8_t byte = chunk[i];
        if (byte == zarn::FRAME_START) {
          frame.clear();
          inFrame = true;
        } else if (!inFrame) {
        } else if (byte == zarn::FRAME_ESCAPE) {
          escape = true;
        } else if (byte == zarn::FRAME_END) {
          inFrame = false;
          if (frame.size() >= 2) Answer(frame[0], frame[1]);
        } else {
          frame.push_back(escape ? static_cast<std::uint8_t>(~byte) : byte);
          escape = false;
        }
      }
    }
  }

  void Answer(std::uint8_t address, std::uint8_t sequence) {
    Bytes statusAndData{0x00};
    for (std::size_t i = 1; i < kAnswerSize; ++i)
      statusAndData.push_back(static_cast<std::uint8_t>(i));
    const Bytes answer = zarn::test::AnswerFrame(address, sequence, statusAndData);
    (void)!write(master_, answer.data(), answer.size());
  }

  int master_ = -1;
  std::string slavePath_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

EchoReader& Reader() {
  static EchoReader reader;
  return reader;
}

using Clock = std::chrono::steady_clock;

double MicrosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The value below which the given share of the samples lies.
double Quantile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1))];
}

// One block of round trips through the engine, each timed; false when one failed.
bool EngineBlock(int count, std::vector<double>& samples) {
  zarn::CTransfer engine;
  engine.InstallLinkCallbacks();
  if (!engine.Open(kComNumber - 1, 115200, 'N', "1")) return false;
  const Bytes payload = RequestPayload();
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    const auto start = Clock::now();
    engine.txBuffer.length = 0;
    engine.txBuffer.AppendBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    ok = engine.Transceive() == zarn::kSuccess && engine.rxBuffer.length == kAnswerSize;
    samples.push_back(MicrosecondsSince(start));
  }
  engine.CloseSerial();
  return ok;
}

// The same bytes with a plain write, poll and read on the same pty.
bool PlainBlock(int count, std::vector<double>& samples) {
  const int fd = open(Reader().SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
  tcflush(fd, TCIOFLUSH);
  const Bytes payload = RequestPayload();
  auto codec = std::make_unique<zarn::CTransfer>();  // its encoder only; no link is opened
  bool ended = true;
  for (int i = 0; i < count && ended; ++i) {
    const auto start = Clock::now();
    // Framed per request, as the engine does.
    ended = codec->BuildRequestFrame(payload.data(), static_cast<std::uint32_t>(payload.size())) &&
            write(fd, codec->txFrame, codec->txCount) == static_cast<ssize_t>(codec->txCount);
    for (bool waiting = ended; waiting;) {
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, 1010) <= 0) {
        ended = false;
        break;
      }
      std::uint8_t chunk[1024];
      const ssize_t n = read(fd, chunk, sizeof chunk);
      for (ssize_t j = 0; j < n; ++j)
        waiting = waiting && chunk[j] != zarn::FRAME_END;
    }
    samples.push_back(MicrosecondsSince(start));
  }
  close(fd);
  return ended;
}

// Each iteration runs a block of each kind; the blocks alternate, so that a change in the
// machine's load hits both alike. The counters give both medians and their ratio.
void SerialRoundTrip(benchmark::State& state) {
  setenv(("ZARN_COM" + std::to_string(kComNumber)).c_str(), Reader().SlavePath().c_str(), 1);
  constexpr int kBlock = 100;
  std::vector<double> engine;
  std::vector<double> plain;
  for (auto _ : state) {
    if (!EngineBlock(kBlock, engine) || !PlainBlock(kBlock, plain)) {
      state.SkipWithError("a round trip failed");
      return;
    }
  }
  const double engineMedian = Quantile(engine, 0.5);
  const double plainMedian = Quantile(plain, 0.5);
  state.counters["engine_us"] = engineMedian;
  state.counters["plain_us"] = plainMedian;
  state.counters["ratio"] = plainMedian > 0 ? engineMedian / plainMedian : 0;
  // The fastest tenth shows the engine's own overhead when thread hand-overs are cheap; on a
  // VM whose idle vCPUs halt, each hand-over between CPUs costs tens of microseconds.
  const double engineFast = Quantile(engine, 0.1);
  const double plainFast = Quantile(plain, 0.1);
  std::fprintf(stderr,
               "serial round trip, %zu of each: engine median %.1f us, plain median %.1f us; "
               "fastest tenth: engine %.1f us, plain %.1f us, ratio %.2f\n",
               engine.size(), engineMedian, plainMedian, engineFast, plainFast,
               engineFast / plainFast);
  const double ratio = engineMedian / plainMedian;
  zarn::bench::PrintRow({"1. serial round trip, 258-byte request, 8-byte answer (median)",
                         zarn::bench::Format("%.1f us", engineMedian),
                         zarn::bench::Format("%.1f us write/poll/read", plainMedian),
                         zarn::bench::Format("%.2fx", ratio), "<= 1.5x",
                         ratio <= 1.5 ? "met" : "NOT met"});
}

BENCHMARK(SerialRoundTrip)->Iterations(40)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
