// Clients released at one instant on the same objects: no lost update, no key
// handed out twice, no torn read, no interleaved rewrite. A busy store
// (NV_E_RETRY_OVER) is the one documented failure under contention.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "harness/board.h"
#include "harness/together.h"
#include "mfpsys/mfpsys.h"
#include "rel.h"

using namespace rel;

namespace {

constexpr int kKeys = MM_KEY_LAST - MM_KEY_FIRST;
#if defined(__powerpc__)
constexpr int kRounds = 4;  // qemu is slow
#else
constexpr int kRounds = 16;
#endif
struct Tally {
    std::atomic<int> owner[kKeys];    // holder of each key at the end
    std::atomic<int> acked[kBlocks];  // last round acknowledged per block
    std::atomic<int> arrived;
    // The n callers start round r together (they spin; one that died lets the others go after a bound).
    void together(int n, int r) {
        ++arrived;
        for (long spins = 0; arrived < n * (r + 1) && spins < 200000; ++spins) sched_yield();
    }
};

// Images that name block and round in their first bytes, so any read is checkable.
std::vector<uint8_t> signedImage(int b, int r) {
    auto v = image(b, r);
    v[0] = uint8_t(b), v[1] = uint8_t(r);
    return v;
}
int entries(int key) {
    auto t = segmentBytes(KU_SHARED_MEM_TABLE_KEY);
    int n = 0;
    for (const auto& e : reinterpret_cast<const KUSharedMemTable*>(t.data())->entry) n += e.key == key;
    return n;
}

struct Scenario {
    const char* name;
    int procs;
    std::function<int(int, Tally&)> run;                // in each process, released together
    std::function<void(mfpsim::Board&, Tally&)> check;  // in the parent afterwards
};
const std::vector<Scenario> kScenarios = {
    // Processes attaching one new key together share one entry and one segment.
    {"registry_new_key", 4,
     [](int i, Tally& t) {
         for (int r = 0; r < kRounds; ++r) {
             t.together(4, r);
             auto* p = KUSharedMemAttach(6000 + r, 64) == 64 ? static_cast<volatile uint8_t*>(KUSharedMemRetrieveMemory(6000 + r)) : nullptr;
             CHILD_CHECK(p != nullptr);
             p[i] = uint8_t(i + 1);
         }
         return 0;
     },
     [](mfpsim::Board&, Tally&) {
         for (int r = 0; r < kRounds; ++r) {
             EXPECT_EQ(entries(6000 + r), 1) << "key " << 6000 + r << " has several entries";
             auto seg = segmentBytes(6000 + r);
             EXPECT_TRUE(seg.size() == 64 && seg[0] == 1 && seg[1] == 2 && seg[2] == 3 && seg[3] == 4) << "an update went elsewhere";
         }
     }},
    // Threads of several processes draw keys and move every third segment to a
    // new key: each key has one holder and one entry, the bitmap marks exactly those.
    {"keys_and_moves", 3,
     [](int i, Tally& t) {
         std::atomic<int> bad{0};
         auto take = [&](int key, int me) { int free = 0; bad += !t.owner[key - MM_KEY_FIRST].compare_exchange_strong(free, me); };
         std::vector<std::thread> th;
         for (int me = 2 * i + 1; me <= 2 * i + 2; ++me)
             th.emplace_back([&, me] {
                 for (int n = 0; n < 24; ++n) {
                     int key = 0;
                     if (mmMakeSharedMemoryKey(&key) != 0 || mmSharedMemAttach(key, 64) != 64) { ++bad; continue; }
                     take(key, me);
                     *static_cast<volatile int*>(mmSharedMemRetrieveMemory(key)) = key;
                     if (n % 3 != 0) continue;
                     int nk = mmSharedMemReAttach(key, 128);
                     auto* p = nk && mmSharedMemAttach(nk, 128) == 128 ? static_cast<volatile int*>(mmSharedMemRetrieveMemory(nk)) : nullptr;
                     if (!p || *p != key) { ++bad; continue; }
                     take(nk, me);
                     t.owner[key - MM_KEY_FIRST] = 0;
                     bad += mmDeleteSharedMemoryKey(key) != 0;
                 }
             });
         for (auto& x : th) x.join();
         return bad.load();
     },
     [](mfpsim::Board&, Tally& t) {
         auto bitmap = segmentBytes(MM_KEY_BITMAP);
         ASSERT_GE(bitmap.size(), size_t(31));
         for (int i = 0; i < kKeys; ++i) {
             EXPECT_EQ((bitmap[size_t(i / 8)] >> (i % 8)) & 1, t.owner[i] != 0) << "key " << MM_KEY_FIRST + i << ": bitmap";
             EXPECT_EQ(entries(MM_KEY_FIRST + i), t.owner[i] != 0) << "key " << MM_KEY_FIRST + i << ": registry entries";
         }
     }},
    // Writers of every block and first readers together: each write is acknowledged
    // or busy, each read a whole image, and after a restart the newest acknowledged round.
    {"nv_writers_readers", 6,
     [](int i, Tally& t) {
         for (int b = 0; i >= kBlocks && b < kBlocks; ++b)
             if (auto got = readBlock(b)) CHILD_CHECK(*got == padded(b, signedImage(b, (*got)[1])));
         for (int r = 1; i < kBlocks && r <= kRounds; ++r) {
             auto v = signedImage(i, r);
             int rc = nvWriteRetry(kAddr[i], uint32_t(v.size()), v.data());
             CHILD_CHECK(rc == 0 || rc == NV_E_RETRY_OVER);
             if (rc == 0) t.acked[i] = r;
         }
         return 0;
     },
     [](mfpsim::Board& board, Tally& t) {
         EXPECT_EQ(board.counters().violations, 0u);
         for (int b = 0; b < kBlocks; ++b)
             EXPECT_CHILD_OK(mfpsys::test::run_restarted([&] { return readBlock(b) == padded(b, signedImage(b, t.acked[b])) ? 0 : 1; }))
                 << "block " << b << " lost round " << t.acked[b];
     }},
    // Address rewrites run one after the other (read, erase, write); readers
    // see a whole address, never a damaged or blank sector.
    {"mac_writers_readers", 5,
     [](int i, Tally& t) {
         for (int k = 0; k < 2 * kRounds; ++k) {
             t.together(5, k);
             const char* macs[] = {"00:00:00:00:00:01", "00:00:00:00:00:02", "00:00:00:00:00:03"};
             char* m = i < 3 && k < kRounds ? nullptr : env_mac_read();
             CHILD_CHECK(i < 3 && k < kRounds ? env_mac_write(macs[i]) == 0
                                              : m && m != ENV_MAC_READ_FAILED && !std::strncmp(m, "00:00:00:00:00:0", 16));
         }
         return 0;
     },
     [](mfpsim::Board& board, Tally&) {
         std::string kinds;
         for (const auto& e : board.journal()) kinds += e.kind;
         ASSERT_GE(kinds.size(), 9u * kRounds);
         for (size_t at = 0; (at = kinds.find('e', at)) != std::string::npos; ++at)
             EXPECT_EQ(kinds.substr(at ? at - 1 : 0, 3), "rew") << "a rewrite interleaved with another step: " << kinds;
         EXPECT_EQ(board.counters().violations, 0u);
     }},
};

class Concurrent : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {};

TEST_P(Concurrent, ClientsReleasedTogether) {
    const Scenario& s = kScenarios[size_t(GetParam())];
    mfpsys::test::Shared<Tally> tally;
    // Round 0 of every block on flash, and the system's objects made, so that only the calls under test race.
    ASSERT_CHILD_OK(restart([] {
        for (int b = 0; b < kBlocks; ++b) {
            auto v = signedImage(b, 0);
            CHILD_CHECK(nvWriteRetry(kAddr[b], uint32_t(v.size()), v.data()) == 0);
        }
        return 0;
    }));
    ASSERT_CHILD_OK(mfpsys::test::run_child([] { return KUSharedMemAttach(4000, 8) == 8 && mmInit() == 0 && env_mac_write("00:00:00:00:00:00") == 0 ? 0 : 1; }));
    board().set_journal(true);
    for (auto& o : mfpsys::test::run_together(s.procs, [&](int i) { return s.run(i, *tally); })) EXPECT_CHILD_OK(o) << s.name;
    s.check(board(), *tally);
}

INSTANTIATE_TEST_SUITE_P(, Concurrent, ::testing::Range(0, int(kScenarios.size())),
                         [](const auto& info) { return std::string(kScenarios[size_t(info.param)].name); });

}  // namespace
