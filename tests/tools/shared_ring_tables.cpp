// Preloaded into mfpctl: NV tables whose first ring holds two blocks and
// whose second ring has four sectors, in place before main as a board's own
// tables would be.
#include "mfpsys/nv.h"

namespace {

[[gnu::constructor]] void sharedRingTables() {
    const int32_t rings[NV_REAL_SEC_NUM] = {1, 1, 2, 2, 2, 2, 4, 4};
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) _nvRealSec[s].ringId = rings[s];
    _nvVrtlSec[0].capacity = _nvVrtlSec[1].capacity = 0x4000;
    _nvVrtlSec[1].ringId = 1;
    _nvVrtlSec[2].ringId = 2;
}

}  // namespace
