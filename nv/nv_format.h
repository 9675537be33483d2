// The NV sector format, for whoever writes or reads it (the store and the
// offline flash inspector). Every multi-byte field is big-endian
// (port/endian.h).
//
// A sector starts with a header:
//   0  erase ID (4)     NV_ERASE_ID_READY once erased and ready for records
//   4  count (2)        generation of the sector within its ring
//   6  reserved (1)     0
//   7  count check (1)  low byte of the sum of bytes 4..6
//   8  mark (2)         NV_MARK_FREE, NV_MARK_USED or NV_MARK_DONE
// From kCtlBase, NV_CTL_ENTRY_NUM control entries of kCtlSize bytes fill the
// control area (NV_CTL_AREA_SIZE bytes); the records follow it. An entry:
//   0  data mark (2)    bit 15 clear: in use; bits 15 and 14 clear: complete
//   2  data checksum (2) low 16 bits of the byte sum of the whole record
//   4  data offset (4)  from the sector's start
//   8  block address (4)
//  12  (2)              never written
//  14  control checksum (2) low 16 bits of the byte sum of bytes 0..13
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "mfpsys/nv.h"
#include "port/endian.h"

namespace mfpsys::nv {

inline constexpr uint32_t kEraseIdOfst = 0;
inline constexpr uint32_t kSecCntOfst = 4;
inline constexpr uint32_t kSecCntCksmOfst = 7;
inline constexpr uint32_t kMarkOfst = 8;
inline constexpr uint32_t kHeaderSize = 10;
// What an erased sector's erase ID reads.
inline constexpr uint32_t kEraseIdBlank = 0xFFFFFFFFu;

inline constexpr uint32_t kCtlBase = 16;
inline constexpr uint32_t kCtlSize = 16;
inline constexpr uint32_t kCtlDataMark = 0;
inline constexpr uint32_t kCtlDataCksm = 2;
inline constexpr uint32_t kCtlDataOfst = 4;
inline constexpr uint32_t kCtlBlockAddr = 8;
inline constexpr uint32_t kCtlCtrlCksm = 14;
static_assert(kCtlBase + kCtlSize * NV_CTL_ENTRY_NUM <= NV_CTL_AREA_SIZE);

inline constexpr uint16_t kMarkFreeBit = 0x8000;       // set: the entry is free
inline constexpr uint16_t kMarkIncompleteBits = 0xC000;  // any set: not complete

inline constexpr uint32_t ctlEntryOfst(uint32_t e) { return kCtlBase + kCtlSize * e; }

// The sums the format keeps: 16 bits for records and entries, 8 for the count.
inline uint16_t sum16(const uint8_t* p, uint32_t n) {
    return static_cast<uint16_t>(nvCalcCksm(p, static_cast<int32_t>(n)));
}
inline uint8_t sum8(const uint8_t* p, uint32_t n) { return static_cast<uint8_t>(nvCalcCksm(p, static_cast<int32_t>(n))); }

// The four bytes from kSecCntOfst for a count.
inline void encodeSecCnt(uint8_t* p, uint16_t count) {
    port::putBe<uint16_t>(p, count);
    p[2] = 0;
    p[3] = sum8(p, 3);
}

struct Header {
    uint32_t eraseId = 0;
    uint16_t count = 0;
    uint16_t mark = 0;
    bool eraseIdOk = false;  // NV_ERASE_ID_READY
    bool countOk = false;    // the count check matches
    bool markOk = false;     // one of the three marks
    bool valid() const { return eraseIdOk && countOk && markOk; }
};

inline bool knownMark(uint16_t m) { return m == NV_MARK_FREE || m == NV_MARK_USED || m == NV_MARK_DONE; }

// p holds kHeaderSize bytes from the sector's start.
inline Header decodeHeader(const uint8_t* p) {
    Header h;
    h.eraseId = port::getBe<uint32_t>(p + kEraseIdOfst);
    h.count = port::getBe<uint16_t>(p + kSecCntOfst);
    h.mark = port::getBe<uint16_t>(p + kMarkOfst);
    h.eraseIdOk = h.eraseId == NV_ERASE_ID_READY;
    h.countOk = sum8(p + kSecCntOfst, 3) == p[kSecCntCksmOfst];
    h.markOk = knownMark(h.mark);
    return h;
}

// True when every byte is 0xFF, compared a block at a time.
inline bool erasedBytes(const uint8_t* p, size_t n) {
    static constexpr std::array<uint8_t, 256> ff = [] {
        std::array<uint8_t, 256> a{};
        a.fill(0xFF);
        return a;
    }();
    for (; n >= ff.size(); p += ff.size(), n -= ff.size())
        if (std::memcmp(p, ff.data(), ff.size()) != 0) return false;
    return std::memcmp(p, ff.data(), n) == 0;
}

// A sector reads blank when every byte is 0xFF but for an erase ID that may
// read ready (written after the erase ended).
inline bool sectorBlank(const uint8_t* p, uint32_t size) {
    if (size < 4) return false;
    uint32_t id = port::getBe<uint32_t>(p + kEraseIdOfst);
    return (id == kEraseIdBlank || id == NV_ERASE_ID_READY) && erasedBytes(p + 4, size - 4);
}

// A record lies after the control area and inside its sector.
inline bool recordInside(uint32_t dataOfst, uint32_t capacity, uint32_t sectorSize) {
    return dataOfst >= NV_CTL_AREA_SIZE && uint64_t{dataOfst} + capacity <= sectorSize;
}

// Why a power-up does not take an entry's record, in the order it asks.
enum class Refusal {
    None,             // a candidate: the newest intact copy of its block wins
    Free,             // never written
    ControlChecksum,  // the entry itself is damaged
    Incomplete,       // the record was cut short
    UnknownBlock,     // no block has this address
    OutsideSector,    // the record would not lie after the control area and inside the sector
    ForeignRing,      // the block lives in another ring
};

// What the offline inspector prints for a refusal.
inline const char* refusalName(Refusal r) {
    switch (r) {
    case Refusal::None: return "none";
    case Refusal::Free: return "free";
    case Refusal::ControlChecksum: return "control checksum";
    case Refusal::Incomplete: return "incomplete";
    case Refusal::UnknownBlock: return "unknown block";
    case Refusal::OutsideSector: return "outside its sector";
    case Refusal::ForeignRing: return "block of another ring";
    }
    return "?";
}

struct Entry {
    uint16_t mark = 0, dataCksm = 0, ctrlCksm = 0;
    uint32_t dataOfst = 0;
    int32_t blockAddr = 0;
    int block = -1;  // index of the block it names, or -1
    Refusal refusal = Refusal::Free;
    bool inUse() const { return refusal != Refusal::Free; }
};

// Decodes the entry at p (kCtlSize bytes) of a sector of ring ringId and
// sectorSize bytes against the block table.
inline Entry decodeEntry(const uint8_t* p, int32_t ringId, uint32_t sectorSize,
                         NvVrtlSecEntry* const blocks[NV_VRTL_SEC_NUM]) {
    Entry e;
    e.mark = port::getBe<uint16_t>(p + kCtlDataMark);
    e.dataCksm = port::getBe<uint16_t>(p + kCtlDataCksm);
    e.dataOfst = port::getBe<uint32_t>(p + kCtlDataOfst);
    e.blockAddr = static_cast<int32_t>(port::getBe<uint32_t>(p + kCtlBlockAddr));
    e.ctrlCksm = port::getBe<uint16_t>(p + kCtlCtrlCksm);
    for (int b = 0; b < NV_VRTL_SEC_NUM && e.block < 0; ++b)
        if (blocks[b]->blockAddr == e.blockAddr) e.block = b;
    if (e.mark & kMarkFreeBit) return e;
    if (sum16(p, kCtlCtrlCksm) != e.ctrlCksm) e.refusal = Refusal::ControlChecksum;
    else if (e.mark & kMarkIncompleteBits) e.refusal = Refusal::Incomplete;
    else if (e.block < 0) e.refusal = Refusal::UnknownBlock;
    else if (!recordInside(e.dataOfst, blocks[e.block]->capacity, sectorSize))
        e.refusal = Refusal::OutsideSector;
    else if (blocks[e.block]->ringId != ringId) e.refusal = Refusal::ForeignRing;
    else e.refusal = Refusal::None;
    return e;
}

}  // namespace mfpsys::nv
