// The power-up scan on the flash device (nvGetSecCntAll, nvSetIdList,
// nvGetCrntSec, nvGetSecData, nvChkSecErase, nvSetupData, declared in
// mfpsys/nv.h) and the same walk over one ring, for a dead writer's repair
// and for a ring examined again.
#pragma once

#include <cstdint>

#include "nv/nv_lock.h"

namespace mfpsys::nv {

// What a walk over a ring does with the blocks' images.
enum class Images {
    Load,     // the power-up scan: each block without one gets its image
    Keep,     // the repair after a dead writer: caches untouched
    Refresh,  // examined again: an image not yet handed out becomes the
              // newest copy found
};

// The tables of one ring back to what its flash holds, its counts read
// again and its sectors' examination marks renewed.
void rescanRing(const WriteLockHeld&, int32_t ringId, Images images);

}  // namespace mfpsys::nv
