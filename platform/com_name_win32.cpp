#include <string>

#include "platform/com_name.h"

namespace zarn::platform {

std::string ComDeviceName(int portNumber) {
  return "\\\\.\\COM" + std::to_string(portNumber);
}

}  // namespace zarn::platform
