// Included first by the files that name the C library's own spellings: a
// client may be built with any file-offset or time width and with
// fortification, so these files pin their own widths to the C library's
// defaults and call each 64-bit-offset spelling by name.
#pragma once

#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#ifndef _LARGEFILE64_SOURCE
#define _LARGEFILE64_SOURCE 1
#endif
