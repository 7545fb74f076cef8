#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "values/names.h"

using namespace velt;

namespace {

class Names : public ::testing::Test {
protected:
    void SetUp() override {
        names_reset_for_tests();
        names_init();
    }
    void TearDown() override { names_reset_for_tests(); }
};

uint32_t intern_str(const std::string& s) { return intern(s.data(), s.size()); }

}  // namespace

TEST_F(Names, PredefinedNamesHaveFixedIndexes) {
    struct Case {
        uint32_t index;
        const char* text;
    };
    const Case cases[] = {
        {N_UNDEFINED, "undefined"}, {N_NAN, "NaN"},       {N_THIS, "this"},
        {N_CONNECTION, "Connection"}, {N_EXCEPTION, "Exception"}, {N_LENGTH, "length"},
        {N_NO_AUTHORIZATION, "no_authorization"}, {N_TOTAL_COUNT, "total_count"},
        {N_SET, "$set"},            {N_DMIN, "$min"},     {N_DMAX, "$max"},
        {N_UNSET, "$unset"},        {N_COLM, "_c__o__l__m_"}, {N_KEYM, "_k__e__y_"},
        {52, "new"},
    };
    EXPECT_EQ(name_count(), 53u);
    for (const Case& c : cases) {
        EXPECT_STREQ(name_text(c.index), c.text) << c.index;
        EXPECT_EQ(name_length(c.index), std::strlen(c.text));
        EXPECT_EQ(intern_str(c.text), c.index) << c.text;
    }
    // Seeding again changes nothing.
    names_init();
    EXPECT_EQ(name_count(), 53u);
}

TEST_F(Names, InternWithoutInitSeedsPredefinedFirst) {
    names_reset_for_tests();
    EXPECT_EQ(intern_str("foo"), 53u);
    EXPECT_EQ(intern_str("min"), static_cast<uint32_t>(N_MIN));
}

TEST_F(Names, HashFormula) {
    // weights 1, 2, ..., 16, 0, 1, ... by position; stops at a NUL
    EXPECT_EQ(name_hash("ab", 2), 97u + 2 * 98u);
    EXPECT_EQ(name_hash("ab\0cd", 5), name_hash("ab", 2));
    std::string s17(17, 'a');
    uint32_t h = 0;
    for (int i = 0; i < 16; ++i) h += static_cast<uint32_t>(i + 1) * 'a';
    EXPECT_EQ(name_hash(s17.data(), 17), h);
    // bytes count as unsigned
    EXPECT_EQ(name_hash("\xE3", 1), 0xE3u);
}

TEST_F(Names, SameTextSameIndexAndOnlyLengthBytesCount) {
    uint32_t a = intern_str("counter");
    uint32_t before = name_count();
    EXPECT_EQ(intern_str("counter"), a);
    EXPECT_EQ(intern("counterXYZ", 7), a);
    EXPECT_EQ(name_count(), before);
    EXPECT_EQ(intern("lengthy", 6), static_cast<uint32_t>(N_LENGTH));
    EXPECT_STREQ(name_text(a), "counter");
}

TEST_F(Names, CollidingKeysGetTheirOwnIndexes) {
    // Equal length and hash: "ab"/"ca" (97+196 = 99+194), and two 17-byte
    // names differing only in the 17th byte, whose weight is 0.
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"ab", "ca"},
        {"abcdefghijklmnopX", "abcdefghijklmnopY"},
    };
    for (const auto& [x, y] : pairs) {
        ASSERT_EQ(name_hash(x.data(), x.size()), name_hash(y.data(), y.size()));
        uint32_t ix = intern_str(x);
        uint32_t iy = intern_str(y);
        EXPECT_NE(ix, iy);
        EXPECT_EQ(intern_str(x), ix);
        EXPECT_EQ(intern_str(y), iy);
        EXPECT_EQ(std::string(name_text(ix)), x);
        EXPECT_EQ(std::string(name_text(iy)), y);
    }
}

TEST_F(Names, LongAndShortNamesStayFindableThroughGrowth) {
    // Lengths up to 255 put keys above 2^31; thousands of names grow the
    // entry table, key index and pool several times.
    const char* early = name_text(N_LENGTH);
    std::vector<std::string> texts;
    for (int i = 0; i < 5000; ++i) {
        size_t len = 1 + static_cast<size_t>(i * 37) % 255;
        std::string s = "n" + std::to_string(i);  // letters after the digits keep names unique
        while (s.size() < len) s += static_cast<char>('a' + s.size() % 26);
        texts.push_back(s);
    }
    std::vector<uint32_t> idx;
    for (const std::string& s : texts) idx.push_back(intern_str(s));
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(idx[i], 53u + i);
        EXPECT_EQ(intern_str(texts[i]), idx[i]) << texts[i];
        EXPECT_EQ(std::string(name_text(idx[i])), texts[i]);
        EXPECT_EQ(name_length(idx[i]), texts[i].size());
    }
    EXPECT_EQ(name_count(), 53u + texts.size());
    // A text pointer handed out before the pool grew is still readable.
    EXPECT_STREQ(early, "length");
}

TEST_F(Names, OverlongNameIsNeverInterned) {
    std::string max(255, 'z');
    uint32_t i = intern_str(max);
    EXPECT_EQ(name_length(i), 255u);
    uint32_t count = name_count();
    std::string over(256, 'z');
    EXPECT_EQ(intern_str(over), NAME_INVALID);
    EXPECT_EQ(name_count(), count);
    EXPECT_STREQ(name_text(NAME_INVALID), "");
    EXPECT_EQ(name_length(NAME_INVALID), 0u);
    EXPECT_STREQ(name_text(count), "");
}

TEST_F(Names, ImageTablesRoundTripAndBadOnesAreRefused) {
    uint32_t a = intern_str("alpha");
    uint32_t b = intern_str("ab");
    uint32_t c = intern_str("ca");  // same key as "ab"
    NameTableView v = names_view();
    std::vector<uint8_t> entries(v.entries, v.entries + 12 * v.count);
    std::vector<char> pool(v.pool, v.pool + v.pool_len);
    uint32_t count = v.count;
    // The key pairs are sorted by key as unsigned numbers.
    for (uint32_t i = 1; i < count; ++i) EXPECT_LE(v.key_pairs[2 * (i - 1)], v.key_pairs[2 * i]);

    names_reset_for_tests();
    names_init();
    ASSERT_TRUE(names_load(entries.data(), count, pool.data(), static_cast<uint32_t>(pool.size())));
    EXPECT_EQ(name_count(), count);
    EXPECT_EQ(intern_str("alpha"), a);
    EXPECT_EQ(intern_str("ab"), b);
    EXPECT_EQ(intern_str("ca"), c);
    EXPECT_EQ(intern_str("new"), static_cast<uint32_t>(N_NEW));
    EXPECT_EQ(intern_str("beta"), count);

    // Each fault leaves the live table untouched.
    auto corrupt = [&](size_t byte, uint8_t value) {
        std::vector<uint8_t> bad = entries;
        bad[byte] = value;
        return names_load(bad.data(), count, pool.data(), static_cast<uint32_t>(pool.size()));
    };
    size_t last = 12 * static_cast<size_t>(count - 1);
    EXPECT_FALSE(corrupt(last + 1, 200));           // length disagrees with the key
    EXPECT_FALSE(corrupt(last + 4, 0x55));          // hash disagrees with the text
    EXPECT_FALSE(corrupt(last + 10, 0x7F));         // text outside the pool
    std::vector<uint8_t> moved = entries;  // entry 52 made a valid "alpha"
    std::memcpy(&moved[12 * N_NEW], &entries[12 * static_cast<size_t>(a)], 12);
    EXPECT_FALSE(names_load(moved.data(), count, pool.data(), static_cast<uint32_t>(pool.size())));
    EXPECT_FALSE(names_load(entries.data(), 10, pool.data(), static_cast<uint32_t>(pool.size())));
    EXPECT_EQ(name_count(), count + 1);
    EXPECT_STREQ(name_text(count), "beta");
}

TEST_F(Names, NewNamesKeepTheKeyIndexSortedInAnyOrder) {
    // Each new name's pair goes to its binary-search place: the index is
    // sorted after every addition, and every name is found again.
    std::vector<std::string> texts;
    for (int i = 0; i < 5000; ++i) texts.push_back("n" + std::to_string((i * 7919) % 5000) + "_" + std::to_string(i % 3));
    std::vector<uint32_t> indexes;
    for (size_t i = 0; i < texts.size(); ++i) {
        indexes.push_back(intern_str(texts[i]));
        if (i % 997 == 0) {
            NameTableView v = names_view();
            for (uint32_t k = 1; k < v.count; ++k) ASSERT_LE(v.key_pairs[2 * (k - 1)], v.key_pairs[2 * k]) << i;
        }
    }
    NameTableView v = names_view();
    for (uint32_t k = 1; k < v.count; ++k) ASSERT_LE(v.key_pairs[2 * (k - 1)], v.key_pairs[2 * k]);
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(intern_str(texts[i]), indexes[i]) << texts[i];
}
