#include <signal.h>

#include "platform/framework.h"

namespace zarn::platform {

bool StartApplicationFramework(int /*argc*/, char** /*argv*/) {
  // A reader link that vanishes must surface as a write error, not kill the process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

}  // namespace zarn::platform
