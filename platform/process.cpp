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
bool RunsOn64BitWindows() {
  return Current().runsOn64BitWindows();
}

}  // namespace zarn::platform
