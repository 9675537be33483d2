// The store's first use in the system: the shared state attached, and the
// power-up scan (nvPowerup, declared in mfpsys/nv.h) run once under the
// first-use lock.
#pragma once

namespace mfpsys::nv {

// Attach, retrieve and, if no scan has run yet, run it under the first-use
// lock (without handing caches to anybody). 0 when the tables describe the
// flash, -1 otherwise.
int ensurePoweredUp();

}  // namespace mfpsys::nv
