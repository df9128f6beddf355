#include "platform/process.h"

namespace zarn::platform {
namespace {
const ProcessDevice* installed = nullptr;
const ProcessDevice& Current() {
  return installed ? *installed : SystemProcessHost();
}
}  // namespace

void InstallProcessHost(const ProcessDevice* device) {
  installed = device;
}
void RunCommandLine(const char* commandLine) {
  Current().runCommandLine(commandLine);
}
bool IsWow64Process() {
  return Current().isWow64Process();
}

}  // namespace zarn::platform
