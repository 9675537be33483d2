/* mm*: dynamic segment keys from a shared bitmap, the segment calls of the
 * memory-manager layer, and resizing a segment by moving it to a fresh key.
 *
 * Dynamic keys run from 21000 to 21246; key 21247 is reserved for the NV
 * store and never handed out. The bitmap is the registry segment 20992.
 */
#ifndef MFPSYS_MM_H
#define MFPSYS_MM_H

#include "mfpsys/export.h"

MFPSYS_BEGIN_DECLS

#define MM_KEY_BITMAP 20992
#define MM_KEY_FIRST 21000
#define MM_KEY_LAST 21247

/* This process's mapping of the key bitmap; NULL until mmInit or
 * mmMakeSharedMemoryKey maps it. */
MFPSYS_API extern unsigned char *pMmInfo;

/* Maps the key bitmap: 0, or -1 when it is not available. */
MFPSYS_API int mmInit(void);
/* Stores the lowest free dynamic key in *key: 0, or -1 (bitmap not
 * available, no key free, key NULL, the key lock not obtained; *key is then
 * not written). A lock not obtained prints a "[MM]" message; no key free
 * prints nothing. */
MFPSYS_API int mmMakeSharedMemoryKey(int *key);
/* Gives a key back: 0, or -1 (bitmap not mapped in this process, key out of
 * range, key not in use, the key lock not obtained; each with its "[MM]"
 * message). The segment the key names is not touched. */
MFPSYS_API int mmDeleteSharedMemoryKey(int key);

/* The registry's calls under the layer's names, results unchanged. */
MFPSYS_API int mmSharedMemAttach(int key, int size);
MFPSYS_API void *mmSharedMemRetrieveMemory(int key);
MFPSYS_API int mmSharedMemDetach(int key);
MFPSYS_API int mmSharedMemRemove(int key);

/* Moves the segment of oldKey to a fresh dynamic key with newSize bytes,
 * contents kept (cut to newSize when smaller, zero-filled beyond). Returns
 * the new key, or 0 on failure. The old key is not given back. */
MFPSYS_API int mmSharedMemReAttach(int oldKey, int newSize);

MFPSYS_END_DECLS

#endif /* MFPSYS_MM_H */
