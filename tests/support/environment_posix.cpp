#include <stdlib.h>

#include "tests/support/environment.h"

namespace zarn::test {

void SetEnvironment(const char* name, const char* value) {
  setenv(name, value, 1);
}

}  // namespace zarn::test
