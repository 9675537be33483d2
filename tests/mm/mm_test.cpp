// Memory-manager keys from the shared bitmap (each handed out once, never the
// NV store's), the messages of refusals, and resizing a segment by moving it.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "harness/proc.h"
#include "mfpsys/mm.h"
#include "shm/registry_peer.h"

using namespace mfpsys::test;
namespace {
using Bytes = std::vector<unsigned char>;
// The bitmap as another process sees it, through its registered segment.
Bytes bitmapNow() {
    TableView t;
    void* p = t.exists() && t.find(MM_KEY_BITMAP) ? shmat(t.find(MM_KEY_BITMAP)->shmid, nullptr, SHM_RDONLY) : nullptr;
    if (!p || p == reinterpret_cast<void*>(-1)) return {};
    Bytes v(static_cast<unsigned char*>(p), static_cast<unsigned char*>(p) + 31);
    shmdt(p);
    return v;
}
std::string printed(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}
int draw() {
    int key = 0;
    return mmMakeSharedMemoryKey(&key) == 0 ? key : -1;
}
}  // namespace

// Keys come lowest first from the bitmap all processes share (key 21000 + i
// is bit i % 8 of byte i / 8), outlive their process, are free again once
// deleted anywhere, and stop at 21246: 21247 is the NV store's fixed key.
TEST(MmKeys, HandedOutOnceFromTheSharedBitmapAndNeverTheNvKey) {
    ASSERT_CHILD_OK(run_child([] { return draw() == 21000 ? 0 : 1; }));
    for (int k = 21001; k <= 21246; ++k) ASSERT_EQ(draw(), k);
    int key = 777;
    EXPECT_EQ(printed([&] { EXPECT_EQ(mmMakeSharedMemoryKey(&key), -1); }), "");
    EXPECT_EQ(key, 777);
    Bytes full(31, 0xFF);
    full[30] = 0x7F;  // 21247, the NV store's key, is never drawn
    EXPECT_EQ(bitmapNow(), full);
    ASSERT_CHILD_OK(run_child([] { return mmInit() == 0 && mmDeleteSharedMemoryKey(21010) == 0 ? 0 : 1; }));
    EXPECT_EQ(bitmapNow()[1], 0xFB);
    EXPECT_EQ((std::vector<int>{mmInit(), draw(), draw(), mmDeleteSharedMemoryKey(21246), draw()}),
              (std::vector<int>{0, 21010, -1, 0, 21246}));
}

// A refused call changes no bit and says why, in the layer's own words.
TEST(MmKeys, RefusalsChangeNoBitAndSayWhy) {
    ASSERT_CHILD_OK(run_child([] { return mmInit(); }));  // the bitmap exists, unmapped here
    EXPECT_EQ(printed([] { EXPECT_EQ(mmDeleteSharedMemoryKey(21000), -1); }), "[MM]mmDeleteSharedMemoryKey ERROR! (shared memory)\n");
    ASSERT_EQ(draw(), 21000);
    const Bytes before = bitmapNow();
    const std::string range = "[MM]mmMakeSharedMemoryKey ERROR! (key id = 0x", unused = "[MM]mmMakeSharedMemoryKey ERROR! (not used)\n";
    for (auto [key, said] : std::vector<std::pair<int, std::string>>{
             {20999, range + "5207)\n"}, {21248, range + "5300)\n"}, {21001, unused}, {0, range + "   0)\n"}})
        EXPECT_EQ(printed([&] { EXPECT_EQ(mmDeleteSharedMemoryKey(key), -1); }), said) << key;
    EXPECT_EQ(bitmapNow(), before);
    EXPECT_EQ(printed([] { EXPECT_EQ(mmDeleteSharedMemoryKey(21000), 0); }), "");
    EXPECT_EQ(printed([] { EXPECT_EQ(mmDeleteSharedMemoryKey(21000), -1); }), unused) << "a second delete";
    EXPECT_EQ(bitmapNow(), Bytes(31, 0x00));
}

// A resize moves the segment to a new key: what fits is kept (both ways), the rest
// zero-filled, the old segment removed; others follow only through the new key.
// Without an own attachment or a free key it fails and changes nothing.
TEST(MmResize, MovesToANewKeyKeepingWhatFits) {
    RegistryPeer a;
    ASSERT_EQ(a.attach(4000, 100), 100);
    const auto pa = a.retrieve(4000);
    for (int i = 0; i < 100; ++i) a.poke(pa, i, static_cast<unsigned char>(i + 1));
    EXPECT_EQ(mmSharedMemReAttach(4000, 200), 0);  // not attached here
    ASSERT_EQ(mmSharedMemAttach(4000, 100), 100);
    TableView t;
    const int oldId = t.find(4000)->shmid;
    ASSERT_EQ(a.attach(21000, 200), 200);  // key 21000 is free but a segment stayed under it: the resize must clear it
    for (int i : {100, 199}) a.poke(a.retrieve(21000), i, 0xEE);
    int key = 4000;
    for (auto [size, next] : {std::pair{200, 21000}, {40, 21001}}) {  // the refused call drew no key
        ASSERT_EQ(mmSharedMemReAttach(key, size), next);
        auto* p = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(next));
        ASSERT_NE(p, nullptr);
        for (int i = 0; i < size; ++i) ASSERT_EQ(p[i], i < 100 ? i + 1 : 0) << size << " " << i;
        EXPECT_EQ((std::vector<std::int64_t>{t.count(key), segmentSize(t.find(next)->shmid)}), (std::vector<std::int64_t>{0, size}));
        EXPECT_EQ(mmSharedMemRetrieveMemory(key), nullptr);
        key = next;
    }
    EXPECT_TRUE(segmentStat(oldId).shm_perm.mode & SHM_DEST);  // a's mapping keeps it until unmapped
    EXPECT_EQ(a.retrieve(4000), 0);
    EXPECT_EQ(a.attach(key, 40), 40);
    EXPECT_EQ(a.peek(a.retrieve(key), 39), 40);
    // An unregistered key is created at the new size, then moved: zeros under a new key, the old one unregistered.
    const auto* z = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(mmSharedMemReAttach(4100, 64)));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(Bytes(z, z + 64), Bytes(64, 0));
    EXPECT_EQ(t.count(4100), 0);
    while (draw() != -1) {}
    EXPECT_EQ(mmSharedMemReAttach(key, 80), 0);
    EXPECT_EQ((std::vector<std::int64_t>{t.count(key), t.find(key)->size, mmSharedMemDetach(key)}), (std::vector<std::int64_t>{1, 40, 0}));
    EXPECT_NE(mmSharedMemRetrieveMemory(key), nullptr) << "detach kept the mapping";
    EXPECT_EQ(mmSharedMemRemove(key), 0);
    EXPECT_EQ(t.count(key), 0) << "remove unregistered the key";
}
