// zarn-reader-sim: one simulated reader behind the fronts chosen on the command line, served by
// one thread until SIGTERM, SIGINT or SIGHUP, after which every front removes what it created.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "sim/event_loop.h"
#include "sim/fronts.h"
#include "sim/options.h"
#include "sim/reader.h"
#include "sim/reader_model.h"
#include "sim/transcript.h"

namespace zarn::sim {
namespace {

// Signals become readable events of the loop, so a stop never interrupts a front mid-way.
int BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return -1;
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

bool OpenFronts(Reader& reader, Transcript& transcript, const SimConfig& config,
                std::vector<std::unique_ptr<Front>>& fronts) {
  using Opener = std::unique_ptr<Front> (*)(Reader&, Transcript&, const SimConfig&, std::string&);
  const std::pair<bool, Opener> wanted[] = {
      {!config.linkPath.empty(), &OpenSerialFront},
      {!config.pcscSocket.empty(), &OpenPcscFront},
      {config.usb, &OpenUsbFront},
  };
  for (const auto& [enabled, open] : wanted) {
    if (!enabled) continue;
    std::string error;
    auto front = open(reader, transcript, config, error);
    if (front == nullptr) {
      std::fprintf(stderr, "zarn-reader-sim: %s\n", error.c_str());
      return false;
    }
    fronts.push_back(std::move(front));
  }
  return true;
}

void Serve(Reader& reader, std::vector<std::unique_ptr<Front>>& fronts, int stopFd) {
  bool stop = false;
  while (!stop) {
    const std::int64_t nowMs = NowMs();
    reader.Present(nowMs);
    for (auto& front : fronts)
      front->Update(nowMs);
    PollSet set;
    set.WakeAt(reader.RestartEndsAt());
    for (auto& front : fronts)
      front->Collect(set, nowMs);
    set.Add(stopFd, POLLIN, [&stop](short) { stop = true; });
    if (!set.Wait()) return;
  }
}

int Run(int argc, char** argv) {
  SimConfig config;
  std::string error;
  switch (ParseCommandLine(argc, argv, config, error)) {
    case ParseOutcome::kHelp:
      std::fputs(HelpText().c_str(), stdout);
      return 0;
    case ParseOutcome::kError:
      std::fprintf(stderr, "zarn-reader-sim: %s\nTry 'zarn-reader-sim --help'.\n", error.c_str());
      return 2;
    case ParseOutcome::kRun:
      break;
  }
  Transcript transcript;
  if (!transcript.Open(config.transcriptPath)) {
    std::fprintf(stderr, "zarn-reader-sim: cannot write %s\n", config.transcriptPath.c_str());
    return 1;
  }
  const int stopFd = BlockStopSignals();
  if (stopFd < 0) {
    std::fprintf(stderr, "zarn-reader-sim: cannot watch for stop signals\n");
    return 1;
  }
  ReaderModel model(config.identity, config.behaviour, config.line, transcript);
  Reader reader(model, config.faults, config.restart, transcript);
  std::vector<std::unique_ptr<Front>> fronts;
  if (!OpenFronts(reader, transcript, config, fronts)) return 1;
  for (const auto& front : fronts)
    std::printf("%s\n", front->Describe().c_str());
  std::printf("ready\n");
  std::fflush(stdout);
  Serve(reader, fronts, stopFd);
  close(stopFd);
  return 0;
}

}  // namespace
}  // namespace zarn::sim

int main(int argc, char** argv) {
  return zarn::sim::Run(argc, argv);
}
