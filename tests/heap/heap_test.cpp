// The shared heap: exhaustion gives null, bad releases change nothing, and
// references name blocks inside the segment only. (Blocks outliving their
// allocator and reached by reference: every NV image a scan caches.)
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "heap/heap_ref.h"
#include "port/tarnix.h"
using namespace mfpheap;
static bool holds(const void* p, std::size_t n, int v) {
    return std::all_of(static_cast<const unsigned char*>(p), static_cast<const unsigned char*>(p) + n, [v](unsigned char c) { return c == v; });
}

// Nearly the whole 2 MiB segment goes out in blocks that never overlap, then
// null. Foreign, interior, unaligned and repeated releases are refused and
// change no counter; freed space, neighbours merged, is reused.
TEST(Heap, ExhaustionBadReleasesAndReuse) {
    constexpr std::size_t kChunk = 64 * 1024;
    std::vector<void*> blocks;
    for (void* p; (p = tarnixSubAllocMem(kChunk)) && blocks.size() < 100; blocks.push_back(p)) std::memset(p, int(blocks.size()), kChunk);
    const auto c = heap_check();
    EXPECT_TRUE(c.consistent);
    EXPECT_EQ(c.used_blocks, blocks.size());
    EXPECT_LT(c.largest_free, kChunk) << "null while a chunk fitted";
    EXPECT_GE(blocks.size() * kChunk, c.capacity - 2 * kChunk) << "the segment nearly all given out";
    int on_stack = 0;
    void* from_malloc = std::malloc(64);
    auto* a = static_cast<char*>(blocks[3]);
    for (void* p : {static_cast<void*>(&on_stack), from_malloc, static_cast<void*>(a + 8), static_cast<void*>(a + 3)})
        EXPECT_EQ(tarnixOrgFreeMemPart(0, p), -1) << p;
    std::free(from_malloc);
    const auto n = static_cast<std::int64_t>(blocks.size());  // the second release of a frees nothing:
    EXPECT_EQ((std::vector<std::int64_t>{heap_check().used_blocks, tarnixOrgFreeMemPart(0, a), tarnixOrgFreeMemPart(0, a), heap_check().used_blocks}),
              (std::vector<std::int64_t>{n, 0, -1, n - 1}));
    EXPECT_EQ(tarnixSubAllocMem(kChunk), a) << "freed space reused";
    EXPECT_EQ(tarnixSubAllocMem(kChunk), nullptr);
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_TRUE(i == 3 || holds(blocks[i], kChunk, int(i))) << i;
    EXPECT_EQ(tarnixOrgFreeMemPart(0, blocks[5]), 0);
    EXPECT_EQ(tarnixOrgFreeMemPart(0, blocks[6]), 0);
    EXPECT_NE(tarnixSubAllocMem(2 * kChunk), nullptr);
    EXPECT_TRUE(heap_check().consistent);
    EXPECT_EQ(heap_check().used_blocks, blocks.size() - 1) << "neighbours merged into one block";
    EXPECT_EQ(heap_ref(&on_stack), kNoRef) << "memory outside the segment";
    EXPECT_EQ(heap_ref(a - heap_ref(a) + 4), kNoRef) << "the segment's start names no block";
    EXPECT_EQ(heap_ptr(~Ref{0}), nullptr) << "a reference past the segment";
}
