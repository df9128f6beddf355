#include "link/result_codes.h"
#include "link/transfer.h"

namespace zarn {

// STUB until the serial-link work lands (frame codec, packets, the answer wait): the serial
// port never opens yet, so this is not reached in a run.
std::uint32_t CTransfer::TransceiveSerial() {
  stateFlags = 0;
  return SCARD_E_NO_READERS_AVAILABLE;
}

void CTransfer::OnSerialStatus(std::int32_t, std::int32_t, std::uint32_t, void*) {}
void CTransfer::OnSerialData(std::int32_t, const std::uint8_t*, std::int32_t, void*) {}

}  // namespace zarn
