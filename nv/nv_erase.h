// Sector erase (nvSecEraseNoWait, nvEraseThreadCreate, nvSecEraseWait,
// declared in mfpsys/nv.h), whether a sector or a range reads blank, and
// making a sector ready for records.
#pragma once

#include <cstdint>

#include "nv/nv_plan.h"

namespace mfpsys::nv {

// Whether sector s reads erased (its erase ID may also read ready).
Blank secBlank(int s);

// Whether len bytes at device offset all read 0xFF.
Blank rangeBlank(uint32_t offset, uint32_t len);

// 0 when sector s may take a record now; NV_E_BUSY while its erase runs (or
// was started again because it did not read blank), NV_E_SYSTEM when the
// device cannot tell or the sector's records were not examined.
int makeReady(int s);

}  // namespace mfpsys::nv
