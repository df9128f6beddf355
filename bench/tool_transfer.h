#pragma once
// The tool's side: its block loop (TransferImageBody, the progress ruler silenced) driven in
// process over the link the run would use, timed with a steady clock.

#include <cstdint>
#include <memory>

#include "bench/raw_replay.h"
#include "link/transfer.h"

namespace zarn::bench {

// The run's engine with its link callbacks, installed as the process's transfer engine.
std::unique_ptr<CTransfer> MakeEngine();
// Opens COM(comNumber) at baud, N/1.
bool OpenSerial(CTransfer& engine, int comNumber, std::uint32_t baud);
// Connects the PC/SC reader as the tool does (OpenSmartCardReader); false without one.
bool OpenPcsc();
void ClosePcsc();

// Sends a trailer that fails the image check: the reader forgets the blocks it holds and waits
// in its loader for a fresh image, so that every run starts from an empty body.
bool ForgetReceivedBlocks();

// Times TransferImageBody over the open link with the AT32 image.
TimedRun ToolTransfer();

}  // namespace zarn::bench
