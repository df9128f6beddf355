// The tool as a user starts it: time from the start of the process to its banner line, and its
// peak memory (maximum resident set) over a full upgrade against the unpaced simulator. The
// references are the same measures of /bin/echo, the smallest program that prints a line.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "tests/sim/sim_process.h"

namespace zarn::bench {
namespace {

using Clock = std::chrono::steady_clock;
using sim::test::ScratchDir;
using sim::test::SimProcess;

constexpr int kStarts = 21;

struct ChildRun {
  bool ok = false;
  double firstLineSeconds = 0;
  long peakKiB = 0;
  std::string output;
};

// Runs argv with stdin from /dev/null; times the first complete output line and collects the
// whole output and the child's peak resident set.
ChildRun RunChild(const std::vector<std::string>& argv) {
  ChildRun run;
  int out[2];
  if (pipe(out) != 0) return run;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  char chunk[4096];
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
    run.output.append(chunk, static_cast<std::size_t>(n));
    if (run.firstLineSeconds == 0 && run.output.find('\n') != std::string::npos) {
      run.firstLineSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  run.ok = wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status);
  run.peakKiB = usage.ru_maxrss;
  return run;
}

double MedianFirstLine(const std::vector<std::string>& argv) {
  std::vector<double> samples;
  for (int i = 0; i < kStarts; ++i) {
    const ChildRun run = RunChild(argv);
    if (run.ok) samples.push_back(run.firstLineSeconds);
  }
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

void StartUp() {
  // A port that cannot exist: the tool prints its banner, fails to open and ends.
  setenv("ZARN_COM45", "/nonexistent/zarn-bench-com45", 1);
  const double tool = MedianFirstLine({ZARN_TOOL_EXE, "COM45"});
  const double echo = MedianFirstLine({"/bin/echo", "banner"});
  PrintRow({"6. start-up to the banner line (median of 21)", Format("%.2f ms", tool * 1e3),
            Format("%.2f ms /bin/echo", echo * 1e3), echo > 0 ? Format("%.2fx", tool / echo) : "-",
            "", "recorded"});
}

void PeakMemory() {
  const std::string name = "6. peak memory over a full COM upgrade (unpaced sim)";
  ScratchDir dir;
  SimProcess sim;
  const std::string link = dir / "com";
  if (!sim.Start({"--link", link})) {
    PrintRow({name, "-", "-", "-", "", "skipped: simulator"});
    return;
  }
  setenv("ZARN_COM46", link.c_str(), 1);
  const auto start = Clock::now();
  const ChildRun tool = RunChild({ZARN_TOOL_EXE, "COM46", "9600", "0", "115200"});
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const bool upgraded = tool.output.find("upgraded successfully") != std::string::npos;
  const ChildRun echo = RunChild({"/bin/echo", "banner"});
  if (!tool.ok || !upgraded) {
    std::fprintf(stderr, "%s", tool.output.c_str());
    PrintRow({name, "-", "-", "-", "", "skipped: the upgrade failed"});
    return;
  }
  std::fprintf(stderr, "full upgrade took %.1f s (restart waits included)\n", seconds);
  PrintRow({name, Format("%ld KiB max RSS", tool.peakKiB),
            Format("%ld KiB /bin/echo", echo.peakKiB), "-", "", "recorded"});
}

}  // namespace
}  // namespace zarn::bench

int main() {
  zarn::bench::StartUp();
  zarn::bench::PeakMemory();
  return 0;
}
