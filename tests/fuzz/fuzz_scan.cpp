// The NV power-up scan over arbitrary flash images. For every image: no
// crash, no access outside a buffer; every block the scan loaded matches a
// complete control entry with both checksums intact; the tables keep their
// invariants; a write of every block then succeeds and reads back after a
// restart.
//
// Input: byte 0 chooses the base (bit 0: a store with a few records, else
// blank flash); then patches of [sector, offset hi, offset lo, length, bytes]
// laid over sector starts, where the scan's decisions are made. An input of
// the whole NV area (0x78000 bytes) is taken as the image itself.
#include <sys/ipc.h>
#include <sys/sem.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board_once.h"
#include "mfpsys/mm.h"
#include "tests/harness/bytes.h"
#include "mfpsys/nv.h"

namespace {

constexpr uint32_t kNvSize = 0x78000;
constexpr int32_t kAddr[4] = {0x0000, 0x0400, 0x0800, 0x1000};

void require(bool ok) {
    if (!ok) std::abort();
}

using mfpsys::test::be16;
using mfpsys::test::be32;

std::vector<uint8_t> payload(int b, int round) {
    std::vector<uint8_t> v(40 + size_t(b) * 7 + size_t(round));
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(b * 41 + round * 3 + i * 7 + 1);
    return v;
}

// A store written by the library itself, kept as the base of patched images.
const std::vector<uint8_t>& writtenStore();

// A restart of the store in this process: the shared state and its write
// lock go, the flash stays. The next call scans again.
void forgetState() {
    if (auto* st = static_cast<NvSharedState*>(mmSharedMemRetrieveMemory(NV_SHARED_KEY))) {
        if (st->otherInfo[0] > 0) ::semctl(st->otherInfo[0], 0, IPC_RMID);
    }
    mmSharedMemRemove(NV_SHARED_KEY);
}

// Scan without handing out caches, as a first write does.
NvSharedState* powerUp() {
    require(nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0);
    auto* st = static_cast<NvSharedState*>(mmSharedMemRetrieveMemory(NV_SHARED_KEY));
    require(st != nullptr && nvPowerup() == 0);
    st->otherInfo[1] = 1;
    return st;
}

void checkTables(const NvSharedState* st, const std::vector<uint8_t>& flash) {
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        const NvRealSecEntry& r = st->realSec[s];
        require(r.writeOfst >= NV_CTL_AREA_SIZE && r.writeOfst <= r.size);
        require(r.usedEntries <= NV_CTL_ENTRY_NUM);
        require(r.eraseState == NV_ERASE_STATE_READY || r.eraseState == NV_ERASE_STATE_ERASING);
        require(r.next < NV_REAL_SEC_NUM && r.prev < NV_REAL_SEC_NUM);
        require(st->realSec[r.next].ringId == r.ringId && st->realSec[r.next].prev == uint32_t(s));
    }
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        const NvVrtlSecEntry& v = st->vrtlSec[b];
        require(v.crntSec < NV_REAL_SEC_NUM && st->realSec[v.crntSec].ringId == v.ringId);
        const NvRealSecEntry& r = st->realSec[v.crntSec];
        if (v.dataOfst == -1) {
            require(v.cache == 0);
            continue;
        }
        require(v.dataOfst >= NV_CTL_AREA_SIZE && uint64_t(v.dataOfst) + v.capacity <= r.size);
        // The copy is a complete record: an intact entry of this block at
        // this offset whose data checksum the bytes on flash match.
        const size_t base = r.flashOfst;
        uint32_t sum = 0;
        for (uint32_t i = 0; i < v.capacity; ++i) sum += flash[base + uint32_t(v.dataOfst) + i];
        bool entry = false;
        for (int e = 0; e < NV_CTL_ENTRY_NUM && !entry; ++e) {
            size_t at = base + 16 + 16 * size_t(e);
            uint32_t ctl = 0;
            for (size_t i = 0; i < 14; ++i) ctl += flash[at + i];
            entry = be16(flash, at) == NV_MARK_DONE && uint16_t(ctl) == be16(flash, at + 14) &&
                    be32(flash, at + 4) == uint32_t(v.dataOfst) && int32_t(be32(flash, at + 8)) == v.blockAddr &&
                    be16(flash, at + 2) == uint16_t(sum);
        }
        require(entry);
        // The cache, handed out once, holds those very bytes.
        if (v.cache != 0) {
            std::vector<uint8_t> got(v.capacity);
            require(nvRead(v.blockAddr, v.capacity, got.data()) == 0);
            require(std::memcmp(got.data(), &flash[base + uint32_t(v.dataOfst)], v.capacity) == 0);
        }
    }
}

const std::vector<uint8_t>& writtenStore() {
    static std::vector<uint8_t> img;
    if (img.empty()) {
        mfpsim::Board& bd = fuzz::board();
        bd.set_flash(0, std::vector<uint8_t>(kNvSize, 0xFF));
        for (int round = 1; round <= 3; ++round)
            for (int b = 0; b < 4; ++b) {
                auto p = payload(b, round);
                require(nvWrite(kAddr[b], uint32_t(p.size()), p.data()) == 0);
            }
        forgetState();
        img = bd.flash(0, kNvSize);
    }
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mfpsim::Board& bd = fuzz::board();
    std::vector<uint8_t> flash;
    if (size == kNvSize) {
        flash.assign(data, data + size);
    } else {
        flash = (size > 0 && (data[0] & 1)) ? writtenStore() : std::vector<uint8_t>(kNvSize, 0xFF);
        size_t i = 1;
        while (i + 4 <= size) {
            uint32_t sec = data[i] % 8;
            uint32_t ofst = (uint32_t(data[i + 1]) << 8 | data[i + 2]) % 0x8000;
            size_t len = data[i + 3];
            i += 4;
            for (size_t k = 0; k < len && i < size; ++k, ++i)
                if (size_t at = sec * 0x10000 + ofst + k; at < kNvSize) flash[at] = data[i];
        }
    }
    bd.disarm();
    bd.power_on();
    bd.set_flash(0, flash);

    NvSharedState* st = powerUp();
    checkTables(st, bd.flash(0, kNvSize));
    // Whatever was found, every block takes a new image...
    for (int b = 0; b < 4; ++b) {
        auto p = payload(b, 9);
        require(nvWrite(kAddr[b], uint32_t(p.size()), p.data()) == 0);
    }
    // ...and reads it back after a restart.
    forgetState();
    for (int b = 0; b < 4; ++b) {
        auto p = payload(b, 9);
        std::vector<uint8_t> got(p.size());
        require(nvRead(kAddr[b], uint32_t(got.size()), got.data()) == 0 && got == p);
    }
    forgetState();
    return 0;
}
