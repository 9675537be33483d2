// The power-up scan's decisions, apart from the device: given the bytes of
// the sectors (through a ScanPort) and the tables, which sector is current
// for each ring, which entry loads each block, where each sector takes its
// next record and which sectors must be made blank, and why. The store runs
// it on the flash device and acts as it goes; the offline inspector runs it
// on an image and shows the result. It touches no shared state of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mfpsys/nv.h"

namespace mfpsys::nv {

enum class Blank { Blank, NotBlank, Unreadable };

// The tables a plan reads and fills in: the store's shared ones, or a copy.
struct Tables {
    NvRealSecEntry* sec[NV_REAL_SEC_NUM];
    NvVrtlSecEntry* blk[NV_VRTL_SEC_NUM];
};

// Why a sector has to be made blank.
enum class Clear {
    NoValidHeader,   // no sector of its ring has a valid header
    NothingTaken,    // the walk gave no block its newest copy from it
    Older,           // older than the sector that completed its ring
    CutTransfer,     // holds part of a move cut short; the older sector holds all
};

// The reason in words, as the offline inspector prints it.
const char* clearName(Clear why);

// What the plan reads, and what it has decided as soon as it decides it.
class ScanPort {
public:
    // n bytes at device offset; false when they cannot be read.
    virtual bool read(uint32_t offset, uint32_t n, uint8_t* buf) = 0;
    // Whether n bytes at device offset all read 0xFF.
    virtual Blank erased(uint32_t offset, uint32_t n) = 0;
    // True when block b's record of its capacity at device offset matches
    // cksm; the store keeps it as the block's image.
    virtual bool take(int b, uint32_t offset, uint16_t cksm) = 0;
    // The image taken for block b is not the one to load after all.
    virtual void drop(int b) = 0;
    // Sector s must be blank before it takes a record.
    virtual void clear(int s, Clear why) = 0;
    // Sector s's control area could not be read: nothing goes into it until
    // it is seen erased.
    virtual void unreadable(int s) = 0;
protected:
    ~ScanPort() = default;
};

// The tables as a power-up starts from them, copied from the compiled-in
// defaults: for a plan run over an image instead of the store's own state.
struct StartTables {
    NvRealSecEntry sec[NV_REAL_SEC_NUM];
    NvVrtlSecEntry blk[NV_VRTL_SEC_NUM];
    Tables t;
    StartTables();
    StartTables(const StartTables&) = delete;  // t points into this object
    StartTables& operator=(const StartTables&) = delete;
};

// The plan over a flash image in memory: reads are bounded by the image and
// a record is taken when its checksum matches. It notes no decision; a
// derived port notes those it shows.
class ImagePort : public ScanPort {
public:
    ImagePort(const uint8_t* image, size_t size, const Tables& t) : img_(image), size_(size), t_(t) {}
    bool read(uint32_t offset, uint32_t n, uint8_t* buf) override;
    Blank erased(uint32_t offset, uint32_t n) override;
    bool take(int b, uint32_t offset, uint16_t cksm) override;
    void drop(int) override {}
    void clear(int, Clear) override {}
    void unreadable(int) override {}
protected:
    ~ImagePort() = default;
private:
    bool inside(uint32_t offset, uint32_t n) const { return uint64_t{offset} + n <= size_; }
    const uint8_t* img_;
    size_t size_;
    const Tables& t_;
};

// readCounts's ring: every ring.
inline constexpr int32_t kAllRings = -1;
// What ends a list of ring ids (no ring has this id).
inline constexpr int32_t kNoRing = -1;

// Next and previous sector of each sector's ring, in index order.
void linkRings(const Tables& t);

// Lowest sector index of a ring, or -1.
int firstSector(const Tables& t, int32_t ringId);

// Index of the block with this address, or -1.
int blockIndex(const Tables& t, int32_t blockAddr);

// The ring's newest sector by count (counts wrap: 0..15 follow counts above
// 0xFFF0; of equal counts the lowest index), or -1 when none has a count.
int newestSector(const Tables& t, int32_t ringId);

// Each sector's count from its header (NV_SEC_CNT_NONE unless the header is
// valid): one read per sector, of every ring or of one.
void readCounts(const Tables& t, ScanPort& port, int32_t ringId);

// The ids of the rings that hold blocks, in block order, ending with
// kNoRing (at most four rings are named).
void ringIds(const Tables& t, int list[5]);

struct SectorResult {
    int supplied = 0;         // blocks whose newest copy this sector gave
    bool readFailed = false;  // the control area could not be read
    bool topUsable = false;   // the highest entry in use set the write offset
    bool freeErased = false;  // every byte of the free entries reads 0xFF
};

// Sector s's entries newest first: takes the newest intact copy of every
// block of its ring not yet found, sets its used entries and write offset.
SectorResult planSector(const Tables& t, ScanPort& port, int s, bool found[NV_VRTL_SEC_NUM]);

// The whole walk over one ring, newest sector first, with the counts read.
// found: blocks that already have their image (taken as loaded).
void planRing(const Tables& t, ScanPort& port, int32_t ringId, bool found[NV_VRTL_SEC_NUM]);

}  // namespace mfpsys::nv
