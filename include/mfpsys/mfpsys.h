/* mfpsys: every family of the board-services library. */
#ifndef MFPSYS_MFPSYS_H
#define MFPSYS_MFPSYS_H

#include "mfpsys/registry.h" /* KUSharedMem*: keyed System V segments */
#include "mfpsys/mm.h"       /* mm*: dynamic keys, segment wrappers, resize */
#include "mfpsys/nv.h"       /* nv*: NV store on NOR flash */
#include "mfpsys/env.h"      /* env_mac_*: boot-environment MAC address */
#include "mfpsys/dwl.h"      /* vfsDWL_*, mmNOR*: download-area windows */

#endif /* MFPSYS_MFPSYS_H */
