// Memory areas: placement by size, Free-area units, reuse in managed mode,
// and the block limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/errors.h"
#include "values/areas.h"
#include "values/values.h"

using namespace velt;

namespace {

struct Areas : ::testing::Test {
    void SetUp() override { areas_reset_for_tests(); }
    void TearDown() override { areas_reset_for_tests(); }
};

// Runs f, which must report; returns "code|message" of the error value.
template <class F>
std::string reported(F f) {
    try {
        f();
    } catch (const ScriptThrow& t) {
        size_t len = 0;
        const char* msg = error_message_text(t.value, &len);
        return std::string(error_code_text(t.value)) + "|" + std::string(msg, len);
    }
    return "no report";
}

const uint8_t FREE_MARKER[9] = {0xFF, 0x01, 0xEE, 0x02, 0xDD, 0x03, 0xCC, 0x04, 0x00};

}  // namespace

TEST_F(Areas, AreaPickedBySize) {
    struct Case { size_t n; uint32_t area; } cases[] = {
        {0, 1}, {31, 1}, {32, 2}, {63, 2}, {64, 3}, {127, 4}, {128, 5}, {255, 6},
        {256, 7}, {447, 8}, {511, 9}, {767, 10}, {1023, 11}, {1279, 12}, {1535, 13},
        {1536, 14}, {2047, 14}, {2048, 15}, {1 << 20, 15},
    };
    for (const Case& c : cases) EXPECT_EQ(area_for_size(c.n), c.area) << c.n;
    // Every request below 2048 fits its slot, and the next smaller area's would not do.
    for (size_t n = 0; n < 2048; ++n) {
        uint32_t a = area_for_size(n);
        ASSERT_GT(area_slot_size(a), n);
        if (a > 1) {
            ASSERT_LE(area_slot_size(a - 1), n);
        }
    }

    set_managed_mode();
    for (const Case& c : cases) {
        void* mem = nullptr;
        uint32_t addr = area_alloc(c.n, &mem);
        EXPECT_EQ(addr_area(addr), c.area) << c.n;
        EXPECT_EQ(area_ptr(addr), mem);
        std::memset(mem, 0x5A, c.n);  // the whole request is writable
    }
}

TEST_F(Areas, FreeAreaUnitsAndBlocks) {
    void* mem;
    uint32_t a = area_alloc(4, &mem);  // one unit more than asked: 2 units
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(free_area_used(0), 2u);

    // 4096 bytes = 1025 units: two new blocks, 1024 units and 1 unit.
    uint32_t big = area_alloc(4096, &mem);
    EXPECT_EQ(big, 1u * 1024);
    EXPECT_EQ(free_area_used(1), 1024u);
    EXPECT_EQ(free_area_used(2), 1u);
    EXPECT_EQ(area_stats().free_last_block, 2);
    std::memset(mem, 0x11, 4096);  // contiguous across the two blocks

    // The next small request goes back to the first block with room; memory is zeroed.
    uint8_t* p;
    uint32_t c = area_alloc(8, reinterpret_cast<void**>(&p));
    EXPECT_EQ(c, 2u);
    EXPECT_EQ(free_area_used(0), 5u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(p[i], 0);
    EXPECT_EQ(area_ptr(c), p);

    // A request that fills block 0 exactly still fits there.
    uint32_t fill = area_alloc((1024 - 5 - 1) * 4, nullptr);
    EXPECT_EQ(fill, 5u);
    EXPECT_EQ(free_area_used(0), 1024u);
    EXPECT_EQ(area_alloc(0, nullptr), 2u * 1024 + 1);  // one unit, into block 2
}

TEST_F(Areas, FreeAreaBlockLimit) {
    // 4000 bytes take one block each: blocks 0-1022 are allowed.
    for (int b = 0; b <= 1022; ++b) ASSERT_EQ(area_alloc(4000, nullptr), static_cast<uint32_t>(b) * 1024);
    EXPECT_EQ(reported([] { area_alloc(4000, nullptr); }).substr(0, 5), "1435|");
    EXPECT_NE(reported([] { area_alloc(4000, nullptr); }).find("Buffer Overflow(Area Free)"), std::string::npos);
    // Room left in existing blocks is still handed out (the reports' error
    // values took some of block 0 first).
    uint32_t a = area_alloc(8, nullptr);
    EXPECT_GT(a, 1001u);
    EXPECT_LT(a, 1024u);
}

TEST_F(Areas, FreeAreaLargeRequestPastLimitRefused) {
    for (int b = 0; b < 1000; ++b) area_alloc(4000, nullptr);
    // 100 blocks would run past block 1022.
    EXPECT_EQ(reported([] { area_alloc(100 * 4096, nullptr); }).substr(0, 5), "1435|");
    EXPECT_EQ(area_stats().free_last_block, 999);
    EXPECT_EQ(area_alloc(4000, nullptr), 1000u * 1024);
}

TEST_F(Areas, AreaFreeOutsideManagedModeOrOfFreeAreaChangesNothing) {
    uint8_t* p;
    uint32_t a = area_alloc(40, reinterpret_cast<void**>(&p));
    std::memset(p, 0x33, 40);
    area_free(a);
    EXPECT_EQ(free_area_used(0), 11u);
    EXPECT_EQ(p[0], 0x33);
    EXPECT_EQ(area_alloc(40, nullptr), 11u);  // appended after, not reused

    set_managed_mode();
    area_free(a);  // area bits 0: never freed
    EXPECT_EQ(p[0], 0x33);
    EXPECT_EQ(free_area_used(0), 22u);
}

TEST_F(Areas, DwCellsAppendAndHeader) {
    ValueWord w1, w2;
    Cell* c1 = dw_alloc(TAG_INT, &w1, 0);
    Cell* c2 = dw_alloc(TAG_STRING, &w2, 3);
    EXPECT_EQ(w1, make_word(TAG_INT, 0));
    EXPECT_EQ(w2, make_word(TAG_STRING, 1));
    EXPECT_EQ(c2->hdr, TAG_STRING + 16 * 3);
    EXPECT_EQ(c1->d4 | c1->d8 | c1->d12 | c1->b1, 0u);
    EXPECT_EQ(dw_cell(w2), c2);
    EXPECT_EQ(word_memory(w2), &c2->hdr);
    EXPECT_EQ(get_self_16(c2), w2);
    for (int i = 2; i < 256; ++i) dw_alloc(TAG_INT, &w1, 0);
    dw_alloc(TAG_FLOAT, &w1, 0);
    EXPECT_EQ(w1, make_word(TAG_FLOAT, 1 << 8));  // block 1, cell 0
    EXPECT_EQ(get_self_16(dw_cell(w1)), w1);

    int outside = 0;
    std::string r = reported([&] { get_self_16(&outside); });
    EXPECT_EQ(r.substr(0, 5), "2495|");
    EXPECT_NE(r.find("システム・エラー(get_self_16)"), std::string::npos);
}

TEST_F(Areas, DwBlock4095Refused) {
    ValueWord w;
    for (uint32_t i = 0; i < 4095u * 256; ++i) dw_alloc(TAG_INT, &w, 0);
    EXPECT_EQ(w, make_word(TAG_INT, 4094u << 8 | 255));
    std::string r = reported([] {
        ValueWord x;
        dw_alloc(TAG_INT, &x, 0);
    });
    EXPECT_EQ(r.substr(0, 5), "1435|");
    EXPECT_NE(r.find("Buffer Overflow(Area DW)"), std::string::npos);
    EXPECT_EQ(area_stats().dw_current_block, 4094);

    // Managed mode still reuses freed cells after the refusal.
    set_managed_mode();
    ValueWord freed = make_word(TAG_INT, 77u << 8 | 9);
    dw_free(freed);
    EXPECT_EQ(dw_alloc(TAG_FLOAT, &w, 0), dw_cell(freed));
    EXPECT_EQ(w, make_word(TAG_FLOAT, 77u << 8 | 9));
}

TEST_F(Areas, DwReuseInManagedModeHighestFirst) {
    ValueWord w[600];
    for (auto& x : w) dw_alloc(TAG_INT, &x, 0);
    // Freed in build mode: recorded, but appending goes on.
    dw_free(w[5]);
    ValueWord n;
    dw_alloc(TAG_INT, &n, 0);
    EXPECT_EQ(n, make_word(TAG_INT, 2u << 8 | 88));

    set_managed_mode();
    dw_free(w[300]);  // block 1
    dw_free(w[7]);
    dw_free(w[7]);    // a second free of the same cell is ignored
    EXPECT_EQ(area_stats().dw_free_total, 3u);
    EXPECT_EQ(area_stats().dw_hint_block, 1);
    ValueWord got[4];
    for (auto& g : got) dw_alloc(TAG_FLOAT, &g, 0);
    EXPECT_EQ(got[0] & 0xFFFFFF, w[300] & 0xFFFFFF);
    EXPECT_EQ(got[1] & 0xFFFFFF, w[7] & 0xFFFFFF);
    EXPECT_EQ(got[2] & 0xFFFFFF, w[5] & 0xFFFFFF);
    EXPECT_EQ(got[3], make_word(TAG_FLOAT, 2u << 8 | 89));  // appending again
    EXPECT_EQ(area_stats().dw_free_total, 0u);
    EXPECT_EQ(area_stats().dw_hint_block, -1);
    EXPECT_EQ(dw_cell(got[1])->hdr, TAG_FLOAT);
}

TEST_F(Areas, SizedSlotReuseAndFreeMarker) {
    set_managed_mode();
    uint8_t* p[3];
    uint32_t a[3];
    for (int i = 0; i < 3; ++i) a[i] = area_alloc(20, reinterpret_cast<void**>(&p[i]));
    EXPECT_EQ(a[1], (1u << 20) | 1);
    area_free(a[0]);
    area_free(a[2]);
    EXPECT_EQ(sized_area_free_slots(1, 0), 2u);
    EXPECT_EQ(std::memcmp(p[2], FREE_MARKER, 9), 0);
    area_free(a[2]);  // twice: ignored
    EXPECT_EQ(sized_area_free_slots(1, 0), 2u);
    EXPECT_EQ(area_alloc(31, nullptr), a[2]);
    EXPECT_EQ(area_alloc(1, nullptr), a[0]);
    EXPECT_EQ(area_alloc(1, nullptr), (1u << 20) | 3);
    EXPECT_EQ(sized_area_free_slots(1, 0), 0u);
}

TEST_F(Areas, LiveSlotHoldingFreeMarkerIsNotHandedOut) {
    set_managed_mode();
    uint8_t* p[3];
    uint32_t a[3];
    for (int i = 0; i < 3; ++i) a[i] = area_alloc(20, reinterpret_cast<void**>(&p[i]));
    std::memcpy(p[1], FREE_MARKER, 9);  // a live text with the marker's bytes
    area_free(a[0]);
    area_free(a[2]);
    EXPECT_EQ(area_alloc(20, nullptr), a[2]);
    EXPECT_EQ(area_alloc(20, nullptr), a[0]);
    uint32_t next = area_alloc(20, nullptr);
    EXPECT_NE(next, a[1]);
    EXPECT_EQ(next, (1u << 20) | 3);
}

TEST_F(Areas, SizedReuseAcrossBlocks) {
    set_managed_mode();
    // Area 14 has 8 slots per block.
    uint32_t a[20];
    for (auto& x : a) x = area_alloc(2000, nullptr);
    EXPECT_EQ(a[19], (14u << 20) | (2u << 8) | 3);
    area_free(a[3]);   // block 0
    area_free(a[12]);  // block 1
    area_free(a[9]);   // block 1
    EXPECT_EQ(area_alloc(1600, nullptr), a[12]);
    EXPECT_EQ(area_alloc(1600, nullptr), a[9]);
    EXPECT_EQ(area_alloc(1600, nullptr), a[3]);
    EXPECT_EQ(area_alloc(1600, nullptr), (14u << 20) | (2u << 8) | 4);
}

TEST_F(Areas, SizedAreaBlockLimit) {
    set_managed_mode();
    // Area 14: 8 slots x 4096 blocks.
    for (uint32_t i = 0; i < 8u * 4096; ++i) area_alloc(1536, nullptr);
    std::string r = reported([] { area_alloc(2000, nullptr); });
    EXPECT_EQ(r.substr(0, 5), "1435|");
    EXPECT_NE(r.find("buffer Overflow(area 14)"), std::string::npos);
    EXPECT_EQ(addr_area(area_alloc(10, nullptr)), 1u);  // other areas unaffected
}

TEST_F(Areas, LargeObjectsReuseEntries) {
    set_managed_mode();
    uint32_t a[4];
    for (auto& x : a) {
        void* mem;
        x = area_alloc(5000, &mem);
        std::memset(mem, 0x7E, 5000);
    }
    EXPECT_EQ(a[0], 15u << 20);
    EXPECT_EQ(a[3], (15u << 20) | 3);
    area_free(a[1]);
    area_free(a[2]);
    area_free(a[2]);  // twice: ignored
    EXPECT_EQ(area_alloc(9000, nullptr), a[2]);
    EXPECT_EQ(area_alloc(2048, nullptr), a[1]);
    EXPECT_EQ(area_alloc(2048, nullptr), (15u << 20) | 4);
}

TEST_F(Areas, ResetDropsEverything) {
    ValueWord w;
    for (int i = 0; i < 300; ++i) dw_alloc(TAG_INT, &w, 0);
    area_alloc(10000, nullptr);
    set_managed_mode();
    dw_free(w);
    area_alloc(3000, nullptr);
    area_alloc(30, nullptr);
    areas_reset_for_tests();
    EXPECT_FALSE(managed_mode());
    AreaStats st = area_stats();
    EXPECT_EQ(st.dw_current_block, -1);
    EXPECT_EQ(st.dw_next_cell, 0u);
    EXPECT_EQ(st.dw_free_total, 0u);
    EXPECT_EQ(st.dw_hint_block, -1);
    EXPECT_EQ(st.free_last_block, -1);
    EXPECT_EQ(sized_area_free_slots(1, 0), 0u);
    dw_alloc(TAG_INT, &w, 0);
    EXPECT_EQ(w, make_word(TAG_INT, 0));
    EXPECT_EQ(area_alloc(30, nullptr), 0u);  // build mode again: Free area
}
