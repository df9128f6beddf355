#pragma once
// Setting an environment variable for the rest of a test (COM port and interface mappings).

namespace zarn::test {

void SetEnvironment(const char* name, const char* value);

}  // namespace zarn::test
