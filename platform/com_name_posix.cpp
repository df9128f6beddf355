#include <cstdlib>
#include <string>

#include "platform/com_name.h"

namespace zarn::platform {

std::string ComDeviceName(int portNumber) {
  const std::string variable = "ZARN_COM" + std::to_string(portNumber);
  if (const char* mapped = std::getenv(variable.c_str()); mapped != nullptr && *mapped != '\0') {
    return mapped;
  }
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

}  // namespace zarn::platform
