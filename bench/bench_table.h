#pragma once
// One row of the summary table that scripts/bench prints: each benchmark writes its rows to
// standard output as tab-separated lines beginning with "ROW", and its details to standard error.

#include <string>

namespace zarn::bench {

struct Row {
  std::string comparison;  // what was measured against what
  std::string tool;        // the tool's figure
  std::string reference;   // the reference figure measured in the same run
  std::string result;      // ratio or efficiency
  std::string target;      // "" when recorded only
  std::string verdict;     // "met", "NOT met", "recorded" or "skipped: why"
};

void PrintRow(const Row& row);
// printf-style text in a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zarn::bench
