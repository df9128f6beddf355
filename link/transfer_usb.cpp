#include "link/result_codes.h"
#include "link/transfer.h"

namespace zarn {

// STUB until the USB-channel work lands: the channel never opens yet, so this is not reached.
std::uint32_t CTransfer::TransceiveUsb() {
  stateFlags = 0;
  return SCARD_E_NO_READERS_AVAILABLE;
}

}  // namespace zarn
