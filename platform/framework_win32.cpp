#include <windows.h>

#include "platform/framework.h"

namespace zarn::platform {

bool StartApplicationFramework(int /*argc*/, char** /*argv*/) {
  // The tool's module must be known to the system; everything else starts on demand.
  return GetModuleHandleA(nullptr) != nullptr;
}

}  // namespace zarn::platform
