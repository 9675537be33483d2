// The power-up scan's decisions over the tables and a ScanPort.
#include "nv/nv_plan.h"

#include <array>
#include <cstring>

#include "nv/nv_format.h"

namespace mfpsys::nv {

namespace {

bool ringComplete(const Tables& t, int32_t ringId, const bool found[NV_VRTL_SEC_NUM]) {
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        if (t.blk[b]->ringId == ringId && !found[b]) return false;
    return true;
}

// A kept sector takes further records only where nothing has been
// programmed: a record cut short above the newest usable one, or any
// programmed byte past the write offset, closes it to appends.
void closeIfDirty(const Tables& t, ScanPort& port, int s, const SectorResult& res) {
    NvRealSecEntry* r = t.sec[s];
    bool clean = res.topUsable && r->writeOfst <= r->size;
    if (clean && r->writeOfst < r->size)
        clean = port.erased(r->flashOfst + r->writeOfst, r->size - r->writeOfst) == Blank::Blank;
    if (clean) clean = res.freeErased;
    if (!clean) r->writeOfst = r->size;
}

// A move cut short leaves its new sector with part of the ring while the
// sector before it, still counted, holds every block: the partial copies go.
void forgetCutTransfer(const Tables& t, ScanPort& port, int32_t ringId, int s, bool found[NV_VRTL_SEC_NUM]) {
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = t.blk[b];
        if (v->ringId != ringId || !found[b] || v->crntSec != static_cast<uint32_t>(s)) continue;
        found[b] = false;
        v->dataOfst = -1;
        port.drop(b);
    }
    port.clear(s, Clear::CutTransfer);
}

}  // namespace

const char* clearName(Clear why) {
    switch (why) {
    case Clear::NoValidHeader: return "no sector of its ring has a valid header";
    case Clear::NothingTaken: return "no block's newest copy in it";
    case Clear::Older: return "older than the sector that completed its ring";
    case Clear::CutTransfer: return "holds a ring move cut short";
    }
    return "?";
}

StartTables::StartTables() {
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        sec[s] = _nvRealSec[s];
        sec[s].eraseState = NV_ERASE_STATE_READY;
        sec[s].usedEntries = 0;
        sec[s].writeOfst = NV_CTL_AREA_SIZE;
        t.sec[s] = &sec[s];
    }
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        blk[b] = _nvVrtlSec[b];
        t.blk[b] = &blk[b];
    }
    linkRings(t);
    for (auto& v : blk) {
        int first = firstSector(t, v.ringId);
        v.crntSec = first < 0 ? 0u : static_cast<uint32_t>(first);
        v.dataOfst = -1;
        v.cache = 0;
    }
}

bool ImagePort::read(uint32_t offset, uint32_t n, uint8_t* buf) {
    if (!inside(offset, n)) return false;
    std::memcpy(buf, img_ + offset, n);
    return true;
}

Blank ImagePort::erased(uint32_t offset, uint32_t n) {
    if (!inside(offset, n)) return Blank::Unreadable;
    return erasedBytes(img_ + offset, n) ? Blank::Blank : Blank::NotBlank;
}

bool ImagePort::take(int b, uint32_t offset, uint16_t cksm) {
    uint32_t cap = t_.blk[b]->capacity;
    return inside(offset, cap) && sum16(img_ + offset, cap) == cksm;
}

void linkRings(const Tables& t) {
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i) {
        for (int k = 1; k <= NV_REAL_SEC_NUM; ++k) {
            int j = (i + k) % NV_REAL_SEC_NUM;
            if (t.sec[j]->ringId == t.sec[i]->ringId) {
                t.sec[i]->next = static_cast<uint32_t>(j);
                t.sec[j]->prev = static_cast<uint32_t>(i);
                break;
            }
        }
    }
}

int firstSector(const Tables& t, int32_t ringId) {
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
        if (t.sec[s] != nullptr && t.sec[s]->ringId == ringId) return s;
    return -1;
}

int blockIndex(const Tables& t, int32_t blockAddr) {
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        if (t.blk[b]->blockAddr == blockAddr) return b;
    return -1;
}

int newestSector(const Tables& t, int32_t ringId) {
    int64_t work[NV_REAL_SEC_NUM];
    bool high = false;
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i) {
        const NvRealSecEntry* r = t.sec[i];
        work[i] = (r->ringId == ringId && r->secCnt != NV_SEC_CNT_NONE) ? r->secCnt : -1;
        if (work[i] > 0xFFF0) high = true;
    }
    if (high)
        for (int64_t& w : work)
            if (w >= 0 && w <= 15) w += 0x10000;
    int best = -1;
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i)
        if (work[i] >= 0 && (best < 0 || work[i] > work[best])) best = i;
    return best;
}

void readCounts(const Tables& t, ScanPort& port, int32_t ringId) {
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        NvRealSecEntry* r = t.sec[s];
        if (ringId != kAllRings && r->ringId != ringId) continue;
        r->secCnt = NV_SEC_CNT_NONE;
        std::array<uint8_t, kHeaderSize> bytes;
        if (!port.read(r->flashOfst, kHeaderSize, bytes.data())) continue;
        Header h = decodeHeader(bytes.data());
        if (h.valid()) r->secCnt = h.count;
    }
}

void ringIds(const Tables& t, int list[5]) {
    for (int i = 0; i < 5; ++i) list[i] = kNoRing;
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        int32_t ring = t.blk[b]->ringId;
        for (int i = 0; i < 4; ++i) {
            if (list[i] == ring) break;
            if (list[i] == kNoRing) {
                list[i] = ring;
                break;
            }
        }
    }
}

SectorResult planSector(const Tables& t, ScanPort& port, int s, bool found[NV_VRTL_SEC_NUM]) {
    SectorResult res;
    NvRealSecEntry* r = t.sec[s];
    std::array<uint8_t, NV_CTL_AREA_SIZE> ctl;
    if (!port.read(r->flashOfst, NV_CTL_AREA_SIZE, ctl.data())) {
        res.readFailed = true;
        return res;
    }
    int top = -1;
    bool offsetSet = false;
    for (int e = NV_CTL_ENTRY_NUM - 1; e >= 0; --e) {
        Entry ent = decodeEntry(ctl.data() + ctlEntryOfst(e), r->ringId, r->size, t.blk);
        if (!ent.inUse()) continue;
        if (top < 0) {
            top = e;
            r->usedEntries = static_cast<uint32_t>(e + 1);
            uint32_t from = ctlEntryOfst(r->usedEntries);
            res.freeErased = erasedBytes(ctl.data() + from, NV_CTL_AREA_SIZE - from);
        }
        // A copy of another ring's block is never loaded from here (a write
        // would move the wrong ring and leave the block unwritten), but its
        // bytes are programmed all the same: nothing goes over them.
        bool ownRing = ent.refusal == Refusal::None;
        if (!ownRing && ent.refusal != Refusal::ForeignRing) continue;
        if (ownRing && found[ent.block]) continue;
        NvVrtlSecEntry* v = t.blk[ent.block];
        if (!offsetSet) {
            offsetSet = true;
            r->writeOfst = ent.dataOfst + v->capacity;
            res.topUsable = (e == top);
        }
        if (!ownRing || !port.take(ent.block, r->flashOfst + ent.dataOfst, ent.dataCksm)) continue;
        found[ent.block] = true;
        ++res.supplied;
        v->dataOfst = static_cast<int32_t>(ent.dataOfst);
        v->crntSec = static_cast<uint32_t>(s);
    }
    return res;
}

void planRing(const Tables& t, ScanPort& port, int32_t ringId, bool found[NV_VRTL_SEC_NUM]) {
    int cur = newestSector(t, ringId);
    if (cur < 0) {
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
            if (t.sec[s]->ringId == ringId) port.clear(s, Clear::NoValidHeader);
        return;
    }
    int kept = -1;  // newest sector left in use
    bool searching = true;
    int s = cur;
    do {
        NvRealSecEntry* r = t.sec[s];
        if (!searching) {
            port.clear(s, Clear::Older);
        } else if (SectorResult res = planSector(t, port, s, found); ringComplete(t, ringId, found)) {
            searching = false;
            if (kept < 0) kept = s;
            closeIfDirty(t, port, s, res);
        } else if (res.supplied > 0) {
            const NvRealSecEntry* prev = r->prev < NV_REAL_SEC_NUM ? t.sec[r->prev] : r;
            if (s == cur && prev != r && prev->secCnt != NV_SEC_CNT_NONE) {
                forgetCutTransfer(t, port, ringId, s, found);
            } else {
                // Holds the only copy of some block: kept.
                if (kept < 0) kept = s;
                closeIfDirty(t, port, s, res);
            }
        } else if (res.readFailed) {
            port.unreadable(s);
        } else {
            port.clear(s, Clear::NothingTaken);
        }
        s = static_cast<int>(r->prev);
    } while (s != cur);

    // Blocks without a copy go where the rest of their ring lives.
    int home = kept >= 0 ? kept : firstSector(t, ringId);
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = t.blk[b];
        if (v->ringId == ringId && v->dataOfst == -1) v->crntSec = static_cast<uint32_t>(home);
    }
}

}  // namespace mfpsys::nv
