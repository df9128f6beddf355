#pragma once
// Start-up of the process's application framework: whatever the platform needs before the tool
// may print and talk to devices. On failure the caller writes one line to the error stream and
// ends with exit code 1.

namespace zarn::platform {

bool StartApplicationFramework(int argc, char** argv);

}  // namespace zarn::platform
