#include "app/run_flow.h"
#include "platform/console.h"
#include "platform/framework.h"

int main(int argc, char** argv) {
  if (!zarn::platform::StartApplicationFramework(argc, argv)) {
    zarn::platform::PrintFatal("Fatal Error: application framework initialization failed");
    return 1;
  }
  zarn::RunTool(argc, argv);
  return 0;  // the run's result is printed, never returned
}
