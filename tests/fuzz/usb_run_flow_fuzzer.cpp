// A whole run in USB mode over the reader's own USB driver (no PC/SC service), every output of
// the driver taken from the fuzz input: the serial-number and version answers, identification,
// the upgrade procedure and both restart waits see arbitrary outcomes, lengths and contents.
// The reader may also vanish and come back between opens. Sleeps pass at once.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/run_flow.h"
#include "tests/fuzz/fuzz_usb_driver.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/fake_process_host.h"
#include "tests/support/scripted_console.h"

namespace {

constexpr std::uint32_t kNoService = 0x8010001D;  // SCARD_E_NO_SERVICE
constexpr std::uint32_t kOutcomes[] = {0, 0, 0, 0, 0, 0, 996, 1167, 234, 31};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  zarn::test::ResetLinkState();
  zarn::test::FakeClock clock;
  zarn::test::FakeProcessHost processes;
  zarn::test::ScriptedConsole console(input.ConsumeBytesAsString(2));
  zarn::test::FakePcsc pcsc;
  pcsc.establishResult = kNoService;
  zarn::fuzz::usbPresent = true;
  zarn::fuzz::usbTransceive = [&input](const std::uint8_t*, std::uint32_t) {
    zarn::fuzz::UsbOutcome outcome;
    if (input.remaining_bytes() == 0) {
      zarn::fuzz::usbPresent = false;  // the reader is gone for good
      outcome.result = 1167;
      return outcome;
    }
    // Mostly short successful outputs, so that the run gets far.
    const bool raw = input.ConsumeIntegralInRange(0, 7) == 0;
    outcome.result = raw ? input.PickValueInArray(kOutcomes) : 0;
    outcome.output =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, raw ? 1100 : 12));
    if (raw) zarn::fuzz::usbPresent = input.ConsumeBool();
    return outcome;
  };
  const char* argv[] = {"zarn-upgrade"};
  zarn::RunTool(1, argv);
  // ZARN_FUZZ_SHOW=1 shows the console of each run (to see where a seed or a crash leads).
  if (std::getenv("ZARN_FUZZ_SHOW") != nullptr)
    std::fprintf(stderr, "%s\n", console.Output().c_str());
  zarn::fuzz::usbTransceive = nullptr;
  zarn::test::ResetLinkState();
  return 0;
}
