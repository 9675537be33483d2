// The flash device steps of the NV store: nvReadExe, nvWriteExe, nvEraseExe
// and nvChkEraseExe (declared in mfpsys/nv.h), one port/flash_device step
// each, and a read in pieces built on them. Nothing here knows a sector.
#pragma once

#include <array>
#include <cstdint>

#include "mfpsys/nv.h"

namespace mfpsys::nv {

// Reads len bytes from offset in pieces of at most 4 KiB, for checks that
// need no heap buffer, handing each piece to visit(bytes, n); visit returns
// false to stop early. False only when a read failed.
template <class Visit>
bool readInChunks(uint32_t offset, uint32_t len, Visit visit) {
    std::array<uint8_t, 4096> chunk;
    while (len > 0) {
        uint32_t n = len < chunk.size() ? len : static_cast<uint32_t>(chunk.size());
        if (nvReadExe(offset, n, chunk.data()) != 0) return false;
        if (!visit(chunk.data(), n)) return true;
        offset += n;
        len -= n;
    }
    return true;
}

}  // namespace mfpsys::nv
