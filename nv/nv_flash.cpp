// One record of an NV sector: the on-flash fields it is made of and the
// fixed order they are written in. Every multi-byte field is big-endian.
#include <array>

#include "nv/nv_device.h"
#include "nv/nv_flash.h"
#include "nv/nv_format.h"
#include "nv/nv_tables.h"

namespace {

using namespace mfpsys::nv;

template <typename T>
int writeBe(uint32_t offset, T v) {
    std::array<uint8_t, sizeof(T)> bytes{};
    mfpsys::port::putBe<T>(bytes.data(), v);
    return nvWriteExe(offset, bytes.size(), bytes.data());
}

// Reads n header bytes of sector s from offset.
bool readHeaderField(int s, uint32_t offset, uint8_t* buf, uint32_t n) {
    NvRealSecEntry* r = mfpsys::nv::sec(s);
    return r != nullptr && nvReadExe(r->flashOfst + offset, n, buf) == 0;
}

// Device offset of sector s's control entry numbered by its used entries.
bool entryOfst(int s, uint32_t& ofst) {
    NvRealSecEntry* r = mfpsys::nv::sec(s);
    if (r == nullptr || r->usedEntries >= NV_CTL_ENTRY_NUM) return false;
    ofst = r->flashOfst + ctlEntryOfst(r->usedEntries);
    return true;
}

}  // namespace

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API uint32_t nvCalcCksm(const void* bytes, int32_t n) {
    if (bytes == nullptr || n <= 0) return 0;
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

MFPSYS_API int nvSetSecEraseID(int s, uint32_t id) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr) return -1;
    return writeBe<uint32_t>(r->flashOfst + kEraseIdOfst, id);
}

MFPSYS_API int nvSetMark(int s, uint32_t mark) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr) return -1;
    return writeBe<uint16_t>(r->flashOfst + kMarkOfst, static_cast<uint16_t>(mark));
}

MFPSYS_API int nvSetSecCnt(int s, int b) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr || blk(b) == nullptr) return -1;
    NvRealSecEntry* p = sec(static_cast<int>(r->prev));
    if (p == nullptr) return -1;
    uint32_t cnt = (uint32_t{p->secCnt} + 1) & 0xFFFF;
    // 0xFFFF means "no count" in the tables, so 0xFFFE is followed by 0,
    // which the newest-sector rule orders after it.
    if (cnt == NV_SEC_CNT_NONE) cnt = 0;
    r->secCnt = static_cast<uint16_t>(cnt);
    std::array<uint8_t, 4> bytes{};
    encodeSecCnt(bytes.data(), r->secCnt);
    return nvWriteExe(r->flashOfst + kSecCntOfst, bytes.size(), bytes.data());
}

MFPSYS_API int nvSetDataMark(int s, uint32_t mark) {
    uint32_t e;
    if (!entryOfst(s, e)) return -1;
    return writeBe<uint16_t>(e + kCtlDataMark, static_cast<uint16_t>(mark));
}

MFPSYS_API int nvSetCtlOfst(int s, int b) {
    uint32_t e;
    NvVrtlSecEntry* v = blk(b);
    if (v == nullptr || !entryOfst(s, e)) return -1;
    if (writeBe<uint32_t>(e + kCtlDataOfst, sec(s)->writeOfst) != 0) return -1;
    return writeBe<uint32_t>(e + kCtlBlockAddr, static_cast<uint32_t>(v->blockAddr));
}

MFPSYS_API int nvSetDataCksm(int s, int b, uint32_t cksm) {
    uint32_t e;
    if (blk(b) == nullptr || !entryOfst(s, e)) return -1;
    return writeBe<uint16_t>(e + kCtlDataCksm, static_cast<uint16_t>(cksm));
}

MFPSYS_API int nvSetCtrlCksm(int s) {
    uint32_t e;
    if (!entryOfst(s, e)) return -1;
    std::array<uint8_t, kCtlSize> entry{};
    if (nvReadExe(e, kCtlSize, entry.data()) != 0) return -1;
    return writeBe<uint16_t>(e + kCtlCtrlCksm, sum16(entry.data(), kCtlCtrlCksm));
}

MFPSYS_API int nvChkSecEraseID(int s) {
    std::array<uint8_t, 4> b{};
    if (!readHeaderField(s, kEraseIdOfst, b.data(), b.size())) return -1;
    return mfpsys::port::getBe<uint32_t>(b.data()) == NV_ERASE_ID_READY ? 0 : -1;
}

MFPSYS_API int nvChkMark(int s) {
    std::array<uint8_t, 4> b{};
    if (!readHeaderField(s, kMarkOfst, b.data(), b.size())) return -1;
    return knownMark(mfpsys::port::getBe<uint16_t>(b.data())) ? 0 : -1;
}

MFPSYS_API int nvGetSecCnt(int s, uint16_t* count) {
    std::array<uint8_t, 4> b{};
    if (count == nullptr || !readHeaderField(s, kSecCntOfst, b.data(), b.size())) return -1;
    if (sum8(b.data(), 3) != b[3]) return -1;
    *count = mfpsys::port::getBe<uint16_t>(b.data());
    return 0;
}

MFPSYS_API int nvChkData(uint32_t dataOfst, uint32_t length, uint32_t cksmOfst, void* buffer) {
    if (buffer == nullptr && length != 0) return -1;
    if (length > 0x7FFFFFFFu) return -1;
    if (nvReadExe(dataOfst, length, buffer) != 0) return -1;
    std::array<uint8_t, 2> c{};
    if (nvReadExe(cksmOfst, 2, c.data()) != 0) return -1;
    return sum16(static_cast<const uint8_t*>(buffer), length) == mfpsys::port::getBe<uint16_t>(c.data()) ? 0 : -1;
}

MFPSYS_API int nvChkVacancy(int s, int vidx) {
    NvRealSecEntry* r = sec(s);
    NvVrtlSecEntry* v = blk(vidx);
    if (r == nullptr || v == nullptr) return -1;
    if (uint64_t{r->size} < uint64_t{r->writeOfst} + v->capacity) return -1;
    // Room for this record's control entry.
    if (r->usedEntries >= NV_CTL_ENTRY_NUM || ctlEntryOfst(r->usedEntries + 1) > NV_CTL_AREA_SIZE) return -1;
    return 0;
}

MFPSYS_API int nvSetData(int s, int vidx, uint32_t length, const void* data) {
    NvRealSecEntry* r = sec(s);
    NvVrtlSecEntry* v = blk(vidx);
    if (r == nullptr || v == nullptr || (data == nullptr && length != 0) || length > v->capacity) return -1;
    // Never beyond the sector or past the last control entry.
    if (nvChkVacancy(s, vidx) != 0) return -1;
    uint32_t at = r->writeOfst;
    if (at == NV_CTL_AREA_SIZE) {
        if (nvSetSecEraseID(s, NV_ERASE_ID_READY) != 0 || nvSetMark(s, NV_MARK_USED) != 0 ||
            nvSetSecCnt(s, vidx) != 0)
            return -1;
    }
    if (nvSetDataMark(s, NV_MARK_USED) != 0) return -1;
    if (nvWriteExe(r->flashOfst + at, length, data) != 0) return -1;
    if (nvSetCtlOfst(s, vidx) != 0) return -1;
    uint32_t cksm = nvCalcCksm(data, static_cast<int32_t>(length)) + (v->capacity - length) * 255u;
    if (nvSetDataCksm(s, vidx, cksm) != 0) return -1;
    if (nvSetDataMark(s, NV_MARK_DONE) != 0) return -1;
    if (nvSetCtrlCksm(s) != 0) return -1;
    v->dataOfst = static_cast<int32_t>(at);
    r->writeOfst = at + v->capacity;
    r->usedEntries += 1;
    return 0;
}

}  // extern "C"
