#include "tests/support/fake_process_host.h"

#include "platform/process.h"

namespace zarn::test {
namespace {
FakeProcessHost* active = nullptr;
}  // namespace

FakeProcessHost::FakeProcessHost(bool isWow64) : wow64(isWow64) {
  static const platform::ProcessDevice device{&FakeProcessHost::Run, &FakeProcessHost::IsWow64};
  active = this;
  platform::InstallProcessHost(&device);
}

FakeProcessHost::~FakeProcessHost() {
  platform::InstallProcessHost(nullptr);
  active = nullptr;
}

void FakeProcessHost::Run(const char* commandLine) {
  active->commandLines.emplace_back(commandLine);
  if (active->onRun) active->onRun();
}

bool FakeProcessHost::IsWow64() {
  return active->wow64;
}

}  // namespace zarn::test
