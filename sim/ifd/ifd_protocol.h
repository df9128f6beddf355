#pragma once
// Between the IFD handler (inside pcscd) and the simulator: one SOCK_SEQPACKET message each way.
// Request: one kind byte, then for an escape the whole escape request as the tool sent it.
// Reply: one state byte, then for an escape the reader's answer (status, data, 90 00).

#include <cstdint>

namespace zarn::sim::ifd {

constexpr std::uint8_t kAskPresence = 1;
constexpr std::uint8_t kEscape = 2;

constexpr std::uint8_t kReaderPresent = 0;
constexpr std::uint8_t kReaderGone = 1;  // restarting: the handler reports IFD_NO_SUCH_DEVICE
// A CCID driver that has not been allowed escape commands: the handler answers as libccid does,
// IFD_COMMUNICATION_ERROR (the tool sees SCARD_E_NOT_TRANSACTED).
constexpr std::uint8_t kEscapeRefused = 2;

// The CCID escape control code under pcsc-lite, SCARD_CTL_CODE(1); the handler refuses others.
constexpr std::uint32_t kEscapeControlCode = 0x42000001;
// Microsoft's CCID class driver takes SCARD_CTL_CODE(3500) instead. With this variable set to
// "windows" in pcscd's environment (sim-pcscd --windows-driver) the handler stands in for it, so
// that the Windows build under Wine meets the code Windows would.
constexpr char kDriverVariable[] = "ZARN_SIM_IFD_DRIVER";
constexpr std::uint32_t kWindowsEscapeControlCode = 0x3136B0;

}  // namespace zarn::sim::ifd
