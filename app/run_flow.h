#pragma once
// One run of the tool: banner, command line, interface, identification, upgrade, close-down.

#include <cstdint>

namespace zarn {

// The whole run, ending with the Enter prompt; returns the run's result (the process's exit
// code does not carry it).
std::uint32_t RunTool(int argc, const char* const* argv);
// Closes the engine's serial port (with its answer event), then its USB channel.
std::uint32_t CloseLink();

}  // namespace zarn
