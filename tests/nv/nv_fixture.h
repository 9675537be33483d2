// NV store tests: a board per test, sector images built byte by byte
// (big-endian, independently of the library) and block images per round.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "harness/board.h"
#include "harness/bytes.h"
#include "harness/peer.h"
#include "harness/proc.h"
#include "mfpsys/nv.h"
#include "powercut/rel.h"

namespace nvtest {

inline constexpr uint32_t kSecOfst[8] = {0x00000, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x60000, 0x70000};
inline constexpr uint32_t kSecSize[8] = {0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x8000};
using mfpsys::test::be16, rel::kAddr, rel::kCap;

// Recognisable per block and round, never a single repeated byte.
inline std::vector<uint8_t> pattern(int block, int round, size_t len) {
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i) v[i] = uint8_t(block * 31 + round * 7 + i * 13 + (i >> 8));
    return v;
}

// A sector as the store lays it out; each damage breaks one check only.
class SectorImage {
public:
    enum class Damage { None, DataCksm, CtrlCksm, MarkIncomplete };
    explicit SectorImage(int s) : bytes_(kSecSize[s], 0xFF) {}
    SectorImage& header(uint16_t count, uint16_t mark = NV_MARK_USED, uint32_t eraseId = NV_ERASE_ID_READY) {
        put(0, eraseId, 4);
        put(4, count, 2);
        bytes_[6] = 0;
        bytes_[7] = uint8_t(bytes_[4] + bytes_[5]);
        put(8, mark, 2);
        return *this;
    }
    SectorImage& record(int e, uint32_t ofst, int b, int round, Damage d = Damage::None, uint32_t cap = 0) {
        auto data = pattern(b, round, 40);
        std::memcpy(&bytes_[ofst], data.data(), data.size());
        uint32_t sum = d == Damage::DataCksm;
        for (uint32_t i = 0; i < (cap ? cap : kCap[b]); ++i) sum += bytes_[ofst + i];
        size_t ent = 16 + 16 * size_t(e);
        put(ent, d == Damage::MarkIncomplete ? NV_MARK_USED : NV_MARK_DONE, 2);
        put(ent + 2, sum, 2);
        put(ent + 4, ofst, 4);
        put(ent + 8, uint32_t(kAddr[b]), 4);
        uint32_t c = d == Damage::CtrlCksm;
        for (size_t i = 0; i < 14; ++i) c += bytes_[ent + i];
        put(ent + 14, c, 2);
        return *this;
    }
    SectorImage& raw(size_t at, std::vector<uint8_t> b) {
        std::memcpy(&bytes_[at], b.data(), b.size());
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
private:
    void put(size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_[at + size_t(i)] = uint8_t(v >> (8 * (n - 1 - i)));
    }
    std::vector<uint8_t> bytes_;
};

class NvTest : public mfpsys::test::BoardTest {
protected:
    // Forked before this process does library work: its restarted children start clean.
    void SetUp() override {
        BoardTest::SetUp();
        checker_.emplace([](int b, std::int64_t round, std::int64_t len) -> std::int64_t {
            auto check = [&] { return (round < 0 ? !reads(b, 1) : reads(b, int(round), uint32_t(len))) ? 0 : 1; };
            return mfpsys::test::run_restarted(check).ok();
        });
    }
    // After a restart block b reads round's image of len bytes (round < 0: no image).
    bool readsAfterRestart(int b, int round, uint32_t len = 40) { return checker_->call(b, round, len) == 1; }
    std::vector<uint8_t> sector(int s) { return board().flash(kSecOfst[s], kSecSize[s]); }
    void put(int s, const SectorImage& img) { board().set_flash(kSecOfst[s], img.bytes()); }
    void expectNoViolation() {
        EXPECT_EQ(board().counters().violations, 0u) << "a write asked to raise a 0 bit";
        EXPECT_EQ(board().counters().erasing_writes, 0u) << "a write into a sector being erased";
    }
    void powerUp() { ASSERT_EQ(nvRead(0x7777, 0, nullptr), -1); }
    void write(int b, int round, uint32_t len = 40) {
        ASSERT_EQ(nvWrite(kAddr[b], len, pattern(b, round, len).data()), 0) << "block " << b << " round " << round;
    }
    // Block b reads round's image of len bytes padded with erased bytes.
    static bool reads(int b, int round, uint32_t len = 40) {
        const uint32_t cap = _nvVrtlSec[b].capacity;
        std::vector<uint8_t> got(cap), want = pattern(b, round, len);
        want.resize(cap, 0xFF);
        return nvRead(kAddr[b], cap, got.data()) == 0 && got == want;
    }
    // Blocks 0 and 1 (cap bytes each) share ring 1; ring 2 is sectors 2-5 with block 2.
    static void shareRingOne(uint32_t cap = 0x4000) {
        for (int s = 2; s < 6; ++s) _nvRealSec[s].ringId = 2;
        _nvVrtlSec[0].capacity = _nvVrtlSec[1].capacity = cap;
        _nvVrtlSec[1].ringId = 1;
        _nvVrtlSec[2].ringId = 2;
    }
    static NvSharedState* st() { return reinterpret_cast<NvSharedState*>(nvRealSec[0]); }
    std::optional<mfpsys::test::Peer> checker_;
};

}  // namespace nvtest
