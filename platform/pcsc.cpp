#include <cctype>
#include <string>
#include <vector>

#include "platform/pcsc.h"

namespace zarn::platform {

std::string ReaderFamily(const char* readerName) {
  std::string name = readerName;
  std::size_t end = name.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])))
    --end;
  if (end < name.size() && end > 0 && name[end - 1] == ' ') name.resize(end - 1);
  return name;
}

std::string FirstReaderOfFamily(const std::vector<std::string>& names, const char* readerName) {
  const std::string wanted = ReaderFamily(readerName);
  for (const std::string& name : names) {
    if (name.rfind(wanted, 0) == 0) return name;
  }
  return {};
}

}  // namespace zarn::platform
