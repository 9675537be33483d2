// Eight processes of two threads each, for a bounded time, mixing every
// kind of call: block writes and reads, registry attach, retrieve, detach and
// remove, key make and delete, segment moves, address reads and writes.
// Afterwards the flash decodes cleanly, every block reads after a restart as
// a complete image some writer wrote, the registry holds one entry per live
// key and the bitmap marks exactly the keys held.
//
// MFPSYS_SALT fixes the salt, MFPSYS_STORM_SECONDS the length of the run.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "images.h"
#include "harness/bytes.h"
#include "mfpsys/mfpsys.h"
#include "storm.h"

using namespace rel;

namespace {

constexpr int kProcs = 8;
constexpr int kThreads = 2;
constexpr int kKeys = MM_KEY_LAST - MM_KEY_FIRST;  // 21000..21246

// A block image that names its writer: "RELY", writer, sequence, length,
// then bytes derived from all three. Any complete image can be checked.
std::vector<uint8_t> signedImage(int b, uint32_t writer, uint32_t seq) {
    uint32_t len = 16 + uint32_t(mix(writer * 131u + seq) % 600);
    std::vector<uint8_t> v(len);
    std::memcpy(v.data(), "RELY", 4);
    for (int i = 0; i < 4; ++i) {
        v[4 + size_t(i)] = uint8_t(writer >> (24 - 8 * i));
        v[8 + size_t(i)] = uint8_t(seq >> (24 - 8 * i));
        v[12 + size_t(i)] = uint8_t(len >> (24 - 8 * i));
    }
    uint64_t x = mix(uint64_t(b) << 40 | uint64_t(writer) << 20 | seq);
    for (size_t i = 16; i < len; ++i) v[i] = uint8_t((x = mix(x)) >> 56);
    return v;
}

// True when a full-capacity read is exactly some signed image plus 0xFF.
bool isSignedImage(int b, const std::vector<uint8_t>& got) {
    if (got.size() < 16 || std::memcmp(got.data(), "RELY", 4) != 0) return false;
    auto word = [&](size_t at) {
        return uint32_t(got[at]) << 24 | uint32_t(got[at + 1]) << 16 | uint32_t(got[at + 2]) << 8 | got[at + 3];
    };
    auto expect = signedImage(b, word(4), word(8));
    return word(12) == expect.size() && got == padded(b, expect);
}

using mfpsys::test::be16;
using mfpsys::test::be32;

// Damaged records in sectors whose header is valid (the ones in use): any
// used control entry that is not complete with both checksums intact.
int damagedRecords(const mfpsim::Board& board) {
    int damaged = 0;
    for (int s = 0; s < 8; ++s) {
        auto sec = board.flash(mfpsim::sector(s).start, mfpsim::sector(s).size);
        uint8_t cnt = uint8_t(sec[4] + sec[5] + sec[6]);
        if (be32(sec, 0) != NV_ERASE_ID_READY || cnt != sec[7]) continue;
        for (int e = 0; e < NV_CTL_ENTRY_NUM; ++e) {
            size_t ent = 16 + 16 * size_t(e);
            if (be16(sec, ent) == NV_MARK_FREE) continue;
            uint32_t ctl = 0;
            for (size_t i = 0; i < 14; ++i) ctl += sec[ent + i];
            uint32_t ofst = be32(sec, ent + 4);
            int b = -1;
            for (int k = 0; k < kBlocks; ++k)
                if (uint32_t(kAddr[k]) == be32(sec, ent + 8)) b = k;
            bool ok = be16(sec, ent) == NV_MARK_DONE && uint16_t(ctl) == be16(sec, ent + 14) && b >= 0 &&
                      ofst >= 256 && ofst + kCap[b] <= sec.size();
            if (ok) {
                uint32_t sum = 0;
                for (uint32_t i = 0; i < kCap[b]; ++i) sum += sec[ofst + i];
                ok = uint16_t(sum) == be16(sec, ent + 2);
            }
            if (!ok) ++damaged;
        }
    }
    return damaged;
}


struct Tally {
    std::atomic<int> held[kKeys];            // 1: a live key some thread kept
    std::atomic<uint32_t> writes, busy, reads, keyOps, moves, macOps;  // 32 bits: lock-free on the 32-bit target
    std::atomic<uint32_t> written[kBlocks];  // acknowledged writes per block
    std::atomic<int> failures;
    char firstFailure[256];
    std::atomic<int> failureClaimed;
};

class Concurrent : public mfpsys::test::BoardTest {};

TEST_F(Concurrent, EightProcessesTwoThreadsEach) {
    const uint64_t salt = stormSalt();
    const double seconds = stormSeconds(3.0);
    std::printf("concurrency salt %" PRIu64 " (rerun: MFPSYS_SALT=%" PRIu64 "), %.1f s\n", salt, salt, seconds);
    mfpsys::test::Shared<Tally> tally;
    mfpsys::test::Shared<StopFlag> flag;

    auto failure = [&](const char* what, int v) {
        tally->failures.fetch_add(1);
        int expected = 0;
        if (tally->failureClaimed.compare_exchange_strong(expected, 1))
            std::snprintf(tally->firstFailure, sizeof tally->firstFailure, "%s (%d)", what, v);
    };

    auto thread = [&](uint32_t writer) {
        uint64_t rng = mix(salt ^ (uint64_t(writer) << 32));
        uint32_t seq = 0;
        struct Held {
            int key;
            int size;
            uint32_t sig;
        };
        std::vector<Held> keys;
        auto sign = [](int key) -> volatile uint32_t* {
            return static_cast<volatile uint32_t*>(mmSharedMemRetrieveMemory(key));
        };
        while (!flag->stop.load()) {
            rng = mix(rng);
            switch (rng % 8) {
                case 0:
                case 1: {
                    int b = int((rng >> 8) % kBlocks);
                    auto img = signedImage(b, writer, ++seq);
                    int rc = nvWriteRetry(kAddr[b], uint32_t(img.size()), img.data());
                    if (rc == NV_E_RETRY_OVER) {
                        tally->busy.fetch_add(1);
                    } else if (rc != 0) {
                        failure("nvWriteRetry", rc);
                    } else {
                        tally->writes.fetch_add(1);
                        tally->written[b].fetch_add(1);
                    }
                    break;
                }
                case 2: {
                    int b = int((rng >> 8) % kBlocks);
                    auto got = readBlock(b);  // the power-up image, once
                    if (got && !isSignedImage(b, *got) &&
                        !std::all_of(got->begin(), got->end(), [](uint8_t c) { return c == 0xFF; }))
                        failure("nvRead gave a torn image of block", b);
                    tally->reads.fetch_add(1);
                    break;
                }
                case 3: {
                    if (keys.size() >= 3) break;
                    int key = 0;
                    if (mmMakeSharedMemoryKey(&key) != 0) {
                        failure("mmMakeSharedMemoryKey", -1);
                        break;
                    }
                    int size = 64 + int((rng >> 16) % 512);
                    if (mmSharedMemAttach(key, size) != size || sign(key) == nullptr) {
                        failure("mmSharedMemAttach of a fresh key", key);
                        break;
                    }
                    uint32_t sig = uint32_t(rng >> 32);
                    *sign(key) = sig;
                    keys.push_back({key, size, sig});
                    tally->keyOps.fetch_add(1);
                    break;
                }
                case 4: {
                    if (keys.empty()) break;
                    Held h = keys.back();
                    keys.pop_back();
                    volatile uint32_t* p = sign(h.key);
                    if (p == nullptr || *p != h.sig) failure("a held segment lost its content", h.key);
                    mmSharedMemDetach(h.key);
                    mmSharedMemRemove(h.key);
                    if (mmSharedMemRetrieveMemory(h.key) != nullptr) failure("removed segment still retrieved", h.key);
                    if (mmDeleteSharedMemoryKey(h.key) != 0) failure("mmDeleteSharedMemoryKey", h.key);
                    tally->keyOps.fetch_add(1);
                    break;
                }
                case 5: {
                    if (keys.empty()) break;
                    Held& h = keys.front();
                    int size = h.size + 16;
                    int nk = mmSharedMemReAttach(h.key, size);
                    if (nk == 0) {
                        failure("mmSharedMemReAttach", h.key);
                        break;
                    }
                    volatile uint32_t* p = sign(nk);
                    if (mmSharedMemAttach(nk, size) != size || (p = sign(nk)) == nullptr || *p != h.sig)
                        failure("a moved segment lost its content", nk);
                    if (mmDeleteSharedMemoryKey(h.key) != 0) failure("giving back a moved key", h.key);
                    h.key = nk;
                    h.size = size;
                    tally->moves.fetch_add(1);
                    break;
                }
                case 6: {
                    if ((rng >> 8) % 8 == 0) {
                        unsigned char a[6] = {0x02, uint8_t(writer), uint8_t(seq >> 8), uint8_t(seq), 0x5E, 0x77};
                        ++seq;
                        if (env_mac_write_n(a) != 0) failure("env_mac_write_n", int(writer));
                    } else {
                        char* m = env_mac_read();
                        if (m == ENV_MAC_READ_FAILED) failure("env_mac_read saw a damaged sector", int(writer));
                    }
                    tally->macOps.fetch_add(1);
                    break;
                }
                default: {
                    int b = int((rng >> 8) % kBlocks);
                    std::vector<uint8_t> buf(16);
                    if (nvRead(kAddr[b], 16, buf.data()) == 0 && std::memcmp(buf.data(), "RELY", 4) != 0 &&
                        buf[0] != 0xFF)
                        failure("nvRead gave bytes no writer wrote, block", b);
                    break;
                }
            }
        }
        return keys;
    };

    auto process = [&](int p) {
        std::vector<int> mine[kThreads];
        std::vector<std::thread> ts;
        for (int t = 0; t < kThreads; ++t)
            ts.emplace_back([&, t] {
                for (const auto& h : thread(uint32_t(p * kThreads + t + 1))) mine[t].push_back(h.key);
            });
        for (auto& t : ts) t.join();
        for (const auto& keys : mine)
            for (int k : keys) tally->held[k - MM_KEY_FIRST].fetch_add(1);
        return 0;
    };
    int failed = 0;
    runStorm(kProcs, seconds, false, salt, 100000, flag.get(), process, &failed);
    std::printf("concurrency: %" PRIu32 " writes (%" PRIu32 " gave up busy), %" PRIu32 " reads, %" PRIu32
                " key operations, %" PRIu32 " moves, %" PRIu32 " address calls\n",
                tally->writes.load(), tally->busy.load(), tally->reads.load(), tally->keyOps.load(),
                tally->moves.load(), tally->macOps.load());
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(tally->failures.load(), 0) << "first: " << tally->firstFailure;
    EXPECT_GT(tally->writes.load(), 0u);

    EXPECT_EQ(damagedRecords(board()), 0) << "a sector in use holds a damaged record";
    EXPECT_EQ(board().counters().violations, 0u);

    // The registry: one entry per key, and among the dynamic keys exactly
    // the ones held; the bitmap marks the same keys.
    auto tableBytes = segmentBytes(KU_SHARED_MEM_TABLE_KEY);
    ASSERT_EQ(tableBytes.size(), sizeof(KUSharedMemTable));
    KUSharedMemTable table;
    std::memcpy(&table, tableBytes.data(), sizeof table);
    auto bitmap = segmentBytes(MM_KEY_BITMAP);
    ASSERT_GE(bitmap.size(), size_t(31));
    std::vector<int> entries(kKeys, 0);
    for (const auto& e : table.entry) {
        if (e.key == 0) continue;
        int dup = 0;
        for (const auto& f : table.entry) dup += f.key == e.key;
        EXPECT_EQ(dup, 1) << "key " << e.key << " has several entries";
        if (e.key >= MM_KEY_FIRST && e.key < MM_KEY_LAST) ++entries[size_t(e.key - MM_KEY_FIRST)];
    }
    for (int i = 0; i < kKeys; ++i) {
        const int held = tally->held[i].load();
        const bool bit = (bitmap[size_t(i / 8)] >> (i % 8)) & 1;
        EXPECT_LE(held, 1) << "key " << MM_KEY_FIRST + i << " held twice";
        EXPECT_EQ(entries[size_t(i)], held) << "key " << MM_KEY_FIRST + i << ": registry entries";
        EXPECT_EQ(bit, held == 1) << "key " << MM_KEY_FIRST + i << ": bitmap";
    }

    // After a restart every block that was written reads as a complete image;
    // on a loaded machine some block may never have been written.
    auto after = restart([&] {
        for (int b = 0; b < kBlocks; ++b) {
            auto got = readBlock(b);
            CHILD_CHECK(got ? isSignedImage(b, *got) : tally->written[b].load() == 0);
        }
        char* m = env_mac_read();
        CHILD_CHECK(m != ENV_MAC_READ_FAILED);
        return 0;
    });
    EXPECT_CHILD_OK(after);
}

}  // namespace
