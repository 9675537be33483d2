// Shared helpers of the NV store tests: a board per test, on-flash images
// built byte by byte, and big-endian reads of the flash image.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <sys/ipc.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "harness/board.h"
#include "harness/bytes.h"
#include "harness/peer.h"
#include "harness/proc.h"
#include "mfpsys/nv.h"

namespace nvtest {

inline constexpr uint32_t kSecOfst[8] = {0x00000, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x60000, 0x70000};
inline constexpr uint32_t kSecSize[8] = {0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x8000};
inline constexpr int32_t kAddr[4] = {0x0000, 0x0400, 0x0800, 0x1000};
inline constexpr uint32_t kCap[4] = {0xFF00, 0xFF00, 0xFF00, 0x7F00};

using mfpsys::test::be16;
using mfpsys::test::be32;

// A block's content for test round i: recognisable, different per block and
// per round, not a single repeated byte.
inline std::vector<uint8_t> pattern(int block, int round, size_t len) {
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i) v[i] = uint8_t(block * 31 + round * 7 + i * 13 + (i >> 8));
    return v;
}

// A sector image as the store lays it out, for preparing boards.
class SectorImage {
public:
    explicit SectorImage(uint32_t size) : bytes_(size, 0xFF) {}
    SectorImage& header(uint32_t eraseId, uint16_t count, uint16_t mark) {
        put32(0, eraseId);
        bytes_[4] = uint8_t(count >> 8);
        bytes_[5] = uint8_t(count);
        bytes_[6] = 0;
        bytes_[7] = uint8_t(bytes_[4] + bytes_[5]);
        put16(8, mark);
        return *this;
    }
    // A complete record of a block in control entry e at data offset ofst,
    // or one damaged in a single way that every other check would pass.
    enum class Damage { None, DataCksm, CtrlCksm, MarkIncomplete };
    SectorImage& record(int e, uint32_t ofst, int32_t addr, uint32_t cap, const std::vector<uint8_t>& data,
                        Damage damage = Damage::None) {
        std::memcpy(&bytes_[ofst], data.data(), data.size());
        uint32_t sum = 0;
        for (uint32_t i = 0; i < cap; ++i) sum += bytes_[ofst + i];
        if (damage == Damage::DataCksm) sum += 1;
        size_t ent = 16 + 16 * size_t(e);
        put16(ent, damage == Damage::MarkIncomplete ? NV_MARK_USED : NV_MARK_DONE);
        put16(ent + 2, uint16_t(sum));
        put32(ent + 4, ofst);
        put32(ent + 8, uint32_t(addr));
        uint32_t c = damage == Damage::CtrlCksm ? 1 : 0;
        for (size_t i = 0; i < 14; ++i) c += bytes_[ent + i];
        put16(ent + 14, uint16_t(c));
        return *this;
    }
    // An entry whose record was cut short right after its data mark.
    SectorImage& started(int e) {
        put16(16 + 16 * size_t(e), NV_MARK_USED);
        return *this;
    }
    SectorImage& raw(size_t at, std::vector<uint8_t> b) {
        std::memcpy(&bytes_[at], b.data(), b.size());
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
private:
    void put16(size_t at, uint16_t v) {
        bytes_[at] = uint8_t(v >> 8);
        bytes_[at + 1] = uint8_t(v);
    }
    void put32(size_t at, uint32_t v) {
        put16(at, uint16_t(v >> 16));
        put16(at + 2, uint16_t(v));
    }
    std::vector<uint8_t> bytes_;
};

// A process forked before the test does any library work. On request it
// starts a grandchild in a fresh IPC namespace (a newly started system,
// untouched by the test process's library state) that reads one block.
class RestartReader {
public:
    void start() { peer_.emplace(&op); }
    // 0 when block b reads round's image of len bytes (round < 0: no image).
    int read(int b, int round, uint32_t len) { return int(peer_->call(b, round, len)); }
private:
    static std::int64_t op(int b, std::int64_t round, std::int64_t len) {
        return mfpsys::test::run_restarted([&] {
            std::vector<uint8_t> got(static_cast<size_t>(len));
            int rc = nvRead(kAddr[b], uint32_t(len), got.data());
            return (round < 0 ? rc == -1 : rc == 0 && got == pattern(b, int(round), size_t(len))) ? 0 : 1;
        }).ok() ? 0 : 1;
    }
    std::optional<mfpsys::test::Peer> peer_;
};

// The board's flash fixture plus helpers used by every NV test.
class NvTest : public mfpsys::test::BoardTest {
protected:
    std::vector<uint8_t> sector(int s) { return board().flash(kSecOfst[s], kSecSize[s]); }
    void put(int s, const SectorImage& img) { board().set_flash(kSecOfst[s], img.bytes()); }
    bool blank(int s) {
        auto v = sector(s);
        for (size_t i = 4; i < v.size(); ++i)
            if (v[i] != 0xFF) return false;
        uint32_t id = be32(v, 0);
        return id == 0xFFFFFFFFu || id == NV_ERASE_ID_READY;
    }
    void expectNoViolation() {
        auto c = board().counters();
        EXPECT_EQ(c.violations, 0u);
        EXPECT_EQ(c.erasing_writes, 0u) << "nothing is written into a sector being erased";
    }
    // Runs fn in a child on a freshly started system (power back on, new IPC
    // namespace); the test process itself stays clean of library state.
    mfpsys::test::Outcome restarted(std::function<int()> fn) { return restart(std::move(fn)); }

    // Powers the store up on this board without consuming a cache.
    void powerUp() { ASSERT_EQ(nvRead(0x7777, 0, nullptr), -1); }
    void write(int b, int round, uint32_t len = 40) {
        ASSERT_EQ(nvWrite(kAddr[b], len, pattern(b, round, len).data()), 0) << "round " << round;
    }
    static bool reads(int b, int round, uint32_t len = 40) {
        std::vector<uint8_t> got(len);
        return nvRead(kAddr[b], len, got.data()) == 0 && got == pattern(b, round, len);
    }
    static NvSharedState* st() { return reinterpret_cast<NvSharedState*>(nvRealSec[0]); }
    // A writer that holds the write lock until `release` opens.
    static mfpsys::test::Child holdWriteLock(mfpsys::test::Gate& release) {
        const int id = st()->otherInfo[0];
        mfpsys::test::Arrivals holding;
        mfpsys::test::Child c([&release, id, &holding] {
            CHILD_CHECK(nvTakeSem(id, IPC_NOWAIT) == 0);
            holding.arrive();
            release.wait();
            CHILD_CHECK(nvGiveSem(id) == 0);
            return 0;
        });
        holding.await(1);
        return c;
    }
};

}  // namespace nvtest
