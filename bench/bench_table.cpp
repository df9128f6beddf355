#include "bench/bench_table.h"

#include <cstdarg>
#include <cstdio>

namespace zarn::bench {

void PrintRow(const Row& row) {
  std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", row.comparison.c_str(), row.tool.c_str(),
              row.reference.c_str(), row.result.c_str(), row.target.c_str(), row.verdict.c_str());
  std::fflush(stdout);
}

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace zarn::bench
