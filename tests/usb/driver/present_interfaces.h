#pragma once
// For the tests' Windows programs that reach the tests' USB driver: the device paths of the
// present interfaces of the reader's class.

#include <string>
#include <vector>

namespace zarn::test {

std::vector<std::string> PresentReaderInterfaces();

}  // namespace zarn::test
