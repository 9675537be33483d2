/* Download-area windows: read-only mappings of the two download areas of
 * physical memory (area 0: 0x0EC00000, 0x1F000 bytes; area 1: 0x0EC1F000,
 * 0x1000 bytes) and the check of the header that starts an area. Every window
 * belongs to the calling process, which releases it; writing through one
 * faults. Nothing is printed. */
#ifndef MFPSYS_DWL_H
#define MFPSYS_DWL_H

#include <stdint.h>

#include "mfpsys/export.h"

MFPSYS_BEGIN_DECLS

/* The area number of a key: 0 for 0, 1 for 1, -1 for any other key. */
MFPSYS_API int32_t mmNORConvKey(int32_t key);

/* Maps the whole of area 0 or 1 read-only. Returns its start, or a null
 * pointer on any failure (then no mapping and no descriptor is left). A
 * process holds at most 64 windows at a time; one more is a failure. */
MFPSYS_API void *vfsDWL_GetArea(int32_t area);

/* Unmaps the whole of the area at addr (as returned by vfsDWL_GetArea).
 * 0 on success; -1 for another area number, a null addr or a failed unmap.
 * Only the start of a window of that area that this process holds (mapped
 * here or inherited over fork) and has not yet released is taken: any other
 * address gives -1 and unmaps nothing. */
MFPSYS_API int32_t vfsDWL_FreeArea(int32_t area, void *addr);

/* Maps the key's area and accepts it only if its 20-byte header starts with
 * the bytes 4D 45 00 03 and info byte 0 is 0 or 1. Copies the header's 12
 * info bytes into info and returns the data behind the header (area start +
 * 20). A null result on any failure, with no mapping left; info is untouched
 * unless the magic matched (info byte 0 above 1 still copies the bytes). A
 * null info gives a null result without mapping anything. */
MFPSYS_API void *mmNORConnect(int32_t key, unsigned char *info);

/* Releases a window given by mmNORConnect: vfsDWL_FreeArea of the key's area
 * at data - 20, so the same key and pointer or -1 with nothing unmapped. A
 * null data gives -1 and unmaps nothing. */
MFPSYS_API int32_t mmNORDisconnect(int32_t key, void *data);

MFPSYS_END_DECLS

#endif /* MFPSYS_DWL_H */
