// A whole run in USB mode over PC/SC, every answer of the reader taken from the fuzz input:
// identification, chip lookup, the upgrade procedure and the restart waits see arbitrary
// lengths, status bytes, status words and contents. Sleeps pass at once.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/run_flow.h"
#include "tests/support/environment.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/fake_process_host.h"
#include "tests/support/scripted_console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zarn::test::Bytes;
  static const bool once = [] {
    zarn::test::SetEnvironment("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-interfaces");
    return true;
  }();
  (void)once;
  FuzzedDataProvider input(data, size);
  zarn::test::ResetLinkState();
  zarn::test::FakeClock clock;
  zarn::test::FakeProcessHost processes;
  zarn::test::ScriptedConsole console(input.ConsumeBytesAsString(2));
  zarn::test::FakePcsc pcsc;
  pcsc.connectFailuresLeft = input.ConsumeIntegralInRange(0, 2);
  pcsc.answer = [&input](const Bytes&) {
    if (input.remaining_bytes() == 0) return Bytes{};
    // Mostly well-formed answers (status word appended), so that the run gets far.
    const bool raw = input.ConsumeIntegralInRange(0, 7) == 0;
    Bytes answer =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, raw ? 320 : 12));
    return raw ? answer : zarn::test::WithStatusWord(answer);
  };
  const char* argv[] = {"zarn-upgrade"};
  zarn::RunTool(1, argv);
  // ZARN_FUZZ_SHOW=1 shows the console of each run (to see where a seed or a crash leads).
  if (std::getenv("ZARN_FUZZ_SHOW") != nullptr)
    std::fprintf(stderr, "%s\n", console.Output().c_str());
  zarn::test::ResetLinkState();
  return 0;
}
