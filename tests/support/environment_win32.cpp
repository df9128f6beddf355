#include <stdlib.h>

#include "tests/support/environment.h"

namespace zarn::test {

void SetEnvironment(const char* name, const char* value) {
  _putenv_s(name, value);
}

}  // namespace zarn::test
