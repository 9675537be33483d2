// The NV power-up scan over any flash: no crash or access outside a buffer, sound
// tables, every block loaded a complete entry of it with both checksums intact, then
// a write of every block that reads back after a restart. Input: byte 0 bit 0 picks
// the base (a written store, else blank), then patches [sector, ofst hi, lo, len, bytes].
#include <sys/sem.h>
#include <cstring>
#include <numeric>
#include <vector>
#include "board_once.h"
#include "mfpsys/mm.h"
#include "mfpsys/nv.h"
#include "tests/harness/bytes.h"

using fuzz::require;
using namespace mfpsys::test;
static constexpr uint32_t kNvSize = 0x78000;
static constexpr int32_t kAddr[4] = {0x0000, 0x0400, 0x0800, 0x1000};
static std::vector<uint8_t> payload(int b, int round) {
    std::vector<uint8_t> v(64);
    std::iota(v.begin(), v.end(), uint8_t(b * 41 + round * 3));
    return v;
}
static uint16_t sum(const uint8_t* p, size_t n) { return uint16_t(std::accumulate(p, p + n, 0u)); }
// A restart in this process: the shared state and its lock go, the flash stays.
static void restart() {
    auto* st = static_cast<NvSharedState*>(mmSharedMemRetrieveMemory(NV_SHARED_KEY));
    if (st != nullptr && st->otherInfo[0] > 0) ::semctl(st->otherInfo[0], 0, IPC_RMID);
    mmSharedMemRemove(NV_SHARED_KEY);
}
// Every block takes round's image, which (if check) reads back after a restart.
static std::vector<uint8_t> writeAll(int round, bool check) {
    for (int b = 0; b < 4; ++b) require(nvWrite(kAddr[b], 64, payload(b, round).data()) == 0);
    restart();
    std::vector<uint8_t> got(64);
    for (int b = 0; b < 4 && check; ++b) require(nvRead(kAddr[b], 64, got.data()) == 0 && got == payload(b, round));
    restart();
    return fuzz::board().flash(0, kNvSize);
}
static void checkTables(const NvSharedState* st, const std::vector<uint8_t>& flash) {
    for (const NvRealSecEntry& r : st->realSec)
        require(r.writeOfst >= NV_CTL_AREA_SIZE && r.writeOfst <= r.size && r.usedEntries <= NV_CTL_ENTRY_NUM &&
                r.eraseState - 1u <= 1u && r.next < NV_REAL_SEC_NUM && &st->realSec[st->realSec[r.next].prev] == &r);
    for (const NvVrtlSecEntry& v : st->vrtlSec) {
        const NvRealSecEntry& r = st->realSec[v.crntSec % NV_REAL_SEC_NUM];
        require(v.crntSec < NV_REAL_SEC_NUM && r.ringId == v.ringId);
        if (v.dataOfst == -1 && v.cache == 0) continue;
        require(v.dataOfst >= NV_CTL_AREA_SIZE && uint64_t(v.dataOfst) + v.capacity <= r.size);
        const uint8_t* data = &flash[r.flashOfst + uint32_t(v.dataOfst)];
        bool entry = false;
        for (size_t at = r.flashOfst + 16; at < r.flashOfst + NV_CTL_AREA_SIZE && !entry; at += 16)
            entry = be16(flash, at) == NV_MARK_DONE && sum(&flash[at], 14) == be16(flash, at + 14) &&
                    be32(flash, at + 4) == uint32_t(v.dataOfst) && int32_t(be32(flash, at + 8)) == v.blockAddr &&
                    be16(flash, at + 2) == sum(data, v.capacity);
        std::vector<uint8_t> got(v.capacity);  // a cache is handed out once, holding those very bytes
        require(entry && (v.cache == 0 || (nvRead(v.blockAddr, v.capacity, got.data()) == 0 &&
                                           got == std::vector(data, data + v.capacity))));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mfpsim::Board& bd = fuzz::board();
    static const auto written = (writeAll(1, false), writeAll(2, false), writeAll(3, false));
    std::vector<uint8_t> flash = (size > 0 && (data[0] & 1)) ? written : std::vector<uint8_t>(kNvSize, 0xFF);
    for (size_t i = 1; i + 4 <= size;) {
        size_t at = data[i] % 8 * 0x10000 + (size_t(data[i + 1]) << 8 | data[i + 2]) % 0x8000, len = data[i + 3];
        for (i += 4; len > 0 && i < size; --len, ++at, ++i)
            if (at < kNvSize) flash[at] = data[i];
    }
    bd.power_on();
    bd.set_flash(0, flash);
    // Scanned without handing out caches, as a first write does.
    require(nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0 && nvPowerup() == 0);
    auto* st = static_cast<NvSharedState*>(mmSharedMemRetrieveMemory(NV_SHARED_KEY));
    st->otherInfo[1] = 1;
    checkTables(st, bd.flash(0, kNvSize));
    writeAll(9, true);
    return 0;
}
