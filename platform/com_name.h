#pragma once
// The device name that stands for COM<n>.

#include <string>

namespace zarn::platform {

// Windows: "\\.\COM<n>" (the form that COM10 and above need). Elsewhere: the path in the
// environment variable ZARN_COM<n> when it is set, else /dev/ttyS<n-1>.
std::string ComDeviceName(int portNumber);

}  // namespace zarn::platform
