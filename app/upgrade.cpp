#include "app/upgrade.h"

namespace zarn {

// STUB until the upgrade work lands (identification, images, block transfer, restarts): the
// run ends after the reader's identity has been read.
std::uint32_t RunUpgrade() { return 0; }

}  // namespace zarn
