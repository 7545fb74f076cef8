// RegExp compiler node layout and the printer of `source`.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins/regexp.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"

namespace velt {
namespace {

struct Compiled {
    uint8_t flags;
    uint32_t count;
    std::vector<RegexNode> nodes;
    const uint16_t* lit;
};

Compiled inspect(ValueWord re) {
    const uint8_t* m = word_memory(re);
    Compiled c;
    c.flags = m[1];
    uint16_t n;
    std::memcpy(&n, m + 2, 2);
    c.count = n;
    uint32_t addr;
    std::memcpy(&addr, m + 4, 4);
    if (!(c.flags & 0x80)) {
        for (uint32_t i = 0; i < n; ++i) {
            RegexNode nd;
            std::memcpy(&nd, static_cast<const uint8_t*>(area_ptr(addr)) + 20 * i, 20);
            c.nodes.push_back(nd);
        }
    }
    c.lit = reinterpret_cast<const uint16_t*>(m + 12);
    return c;
}

class RegexpTest : public ::testing::Test {
protected:
    void SetUp() override { reset_interpreter(); }
};

TEST_F(RegexpTest, LiteralRunSplitsItsLastUnitForAQuantifier) {
    Compiled c = inspect(regexp_compile_text("ab+c", 4, 0));
    ASSERT_EQ(c.count, 3u);
    EXPECT_EQ(c.nodes[0].kind, 10);
    EXPECT_EQ(c.nodes[0].litlen, 1);
    EXPECT_EQ(c.lit[c.nodes[0].lit], 'a');
    EXPECT_EQ(c.lit[c.nodes[0].lit + 1], 0);  // runs are zero-terminated
    EXPECT_EQ(c.nodes[1].kind, 11);
    EXPECT_EQ(c.nodes[1].quant, 8);
    EXPECT_EQ(c.nodes[1].min, 1);
    EXPECT_EQ(c.lit[c.nodes[1].lit], 'b');
    EXPECT_EQ(c.nodes[2].kind, 10);
    EXPECT_EQ(c.lit[c.nodes[2].lit], 'c');
}

TEST_F(RegexpTest, ClassesGroupsAndLookarounds) {
    Compiled c = inspect(regexp_compile_text("[a-f\\d](?<y>x)(?:z){2,5}?\\d+(?=%)", 33, 0x08));
    ASSERT_EQ(c.count, 4u);
    EXPECT_EQ(c.flags, 0x08);
    EXPECT_EQ(c.nodes[0].kind, 20);
    EXPECT_EQ(c.nodes[0].litlen, 6);  // the range expanded, upper-cased under i
    EXPECT_EQ(c.lit[c.nodes[0].lit], 'A');
    EXPECT_EQ(c.nodes[0].cflags, 0x04);
    EXPECT_EQ(c.nodes[1].kind, 60);
    EXPECT_EQ(c.nodes[1].name, intern("y", 1));
    EXPECT_EQ(c.nodes[1].min, 1);  // capture slot
    EXPECT_EQ(c.nodes[2].kind, 61);
    EXPECT_EQ(c.nodes[2].quant, 0x24);
    EXPECT_EQ(c.nodes[2].min, 2);
    EXPECT_EQ(c.nodes[2].max, 5);
    EXPECT_EQ(c.nodes[3].kind, 24);
    EXPECT_EQ(c.nodes[3].look, 'F');
}

TEST_F(RegexpTest, TopLevelAlternationIsAValueOfAlternatives) {
    Compiled c = inspect(regexp_compile_text("x|yz|(w)", 8, 0x10));
    EXPECT_EQ(c.flags, 0x80 | 0x10);
    EXPECT_EQ(c.count, 3u);
}

TEST_F(RegexpTest, SourcePrintsFromTheNodes) {
    struct Row { const char* pattern; uint8_t flags; const char* source; };
    const Row rows[] = {
        {"ab+c", 0, "ab+c"},
        {"[abcdef]", 0, "[a-f]"},
        {"[cab]", 0, "[cab]"},
        {"[^\\s0-9]x{3}?y{2,}?z??", 0, "[^\\s0-9]x{3}?y{2,}?z??"},
        {"x|yz", 0, "x|yz"},
        {"(?<=a)b(?!c)|(?<n>d)\\1", 0, "(?<=a)b(?!c)|(?<n>d)\\1"},
        {"^\\bq.*?\\B$", 0, "^\\bq.*?\\B$"},
        {"a\\x41\\u{0042}", 0x08, "AAB"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(regexp_source(regexp_compile_text(r.pattern, std::strlen(r.pattern), r.flags)), r.source)
            << r.pattern;
    }
}

TEST_F(RegexpTest, MatchReportsStartAndEndInUnits) {
    ValueWord re = regexp_compile_text("b+", 2, 0);
    const uint16_t s[] = {'a', 'b', 'b', 'c'};
    int32_t ms = -1;
    EXPECT_EQ(regexp_match(re, s, 4, 0, 0, &ms), 3);
    EXPECT_EQ(ms, 1);
    EXPECT_EQ(regexp_match(re, s, 4, 5, 0, &ms), -1);  // start beyond the end
    EXPECT_EQ(regexp_match(re, s, 4, 0, 0x20, &ms), -1);  // sticky at 0
}

}  // namespace
}  // namespace velt
