#include "bench/tool_transfer.h"

#include <chrono>

#include "app/block_transfer.h"
#include "app/device_requests.h"
#include "app/upgrade_session.h"
#include "bench/block_frames.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/console.h"

namespace zarn::bench {
namespace {

// Keeps the progress ruler off the benchmark's output; the calls still happen.
const platform::ConsoleDevice kSilentConsole = {
    [](const char*, std::size_t) {},
    [] { return false; },
    [] { return platform::kEndOfInput; },
    [] { return platform::kEndOfInput; },
};

}  // namespace

std::unique_ptr<CTransfer> MakeEngine() {
  auto engine = std::make_unique<CTransfer>();
  engine->InstallLinkCallbacks();
  transferEngine = engine.get();
  smartCardPathActive = false;
  return engine;
}

bool OpenSerial(CTransfer& engine, int comNumber, std::uint32_t baud) {
  return engine.Open(comNumber - 1, baud, 'N', "1");
}

bool OpenPcsc() {
  return OpenSmartCardReader() == kSuccess && smartCardPathActive;
}

void ClosePcsc() {
  CloseSmartCardReader();
  smartCardPathActive = false;
}

bool ForgetReceivedBlocks() {
  return SendRequest({0x73, 0x77, 0, 0, 0, 0, 0, 0, 0, 0}) == kSuccess;
}

TimedRun ToolTransfer() {
  const ImageBody body = At32Body();
  session.image = body.bytes;
  session.imageLength = body.length;
  session.bytesSent = 0;
  platform::InstallConsole(&kSilentConsole);
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t result = TransferImageBody();
  TimedRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  platform::InstallConsole(nullptr);
  run.ok = result == kSuccess && session.bytesSent == body.length;
  return run;
}

}  // namespace zarn::bench
