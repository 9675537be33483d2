// The library's view of the in-house memory library (the board's own heap).
// On the board these come from a separate library; heap/ builds a stand-in
// (libmfpheap) with the same two calls.
#pragma once

#include <stddef.h>

#include "mfpsys/export.h"

MFPSYS_BEGIN_DECLS

// A block of at least size bytes, or null when the heap is exhausted.
MFPSYS_API void* tarnixSubAllocMem(size_t size);
// Gives a block back; partition is 0 for every caller here.
MFPSYS_API int tarnixOrgFreeMemPart(int partition, void* block);

MFPSYS_END_DECLS
