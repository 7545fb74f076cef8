// Reference counts, freeing by kind, deep copies and error values.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "driver/errors.h"
#include "values/areas.h"
#include "values/values.h"

using namespace velt;

namespace {

struct Values : ::testing::Test {
    void SetUp() override {
        areas_reset_for_tests();
        set_managed_mode();
    }
    void TearDown() override { areas_reset_for_tests(); }
};

bool is_free(ValueWord w) { return dw_cell(w)->hdr == FREE_CELL; }

// A string cell laid out as the interpreter makes one.
ValueWord str(const char* text) {
    uint32_t len = static_cast<uint32_t>(std::strlen(text));
    void* mem;
    uint32_t addr = area_alloc(len + 12, &mem);
    std::memcpy(mem, text, len + 1);
    ValueWord w;
    Cell* c = dw_alloc(TAG_STRING, &w, 0);
    str_addr(c) = addr;
    str_cap(c) = len + 8;
    str_len(c) = len;
    return w;
}

std::string text_of(ValueWord w) {
    Cell* c = dw_cell(w);
    return std::string(static_cast<const char*>(area_ptr(str_addr(c))), str_len(c));
}

// Array (or sparse array / object pairs) of words, each retained as a store does.
ValueWord array_of(std::initializer_list<ValueWord> items, uint32_t cap = 0) {
    uint32_t n = static_cast<uint32_t>(items.size());
    if (cap < n) cap = n;
    void* mem;
    uint32_t addr = area_alloc(cap * 4, &mem);
    uint32_t i = 0;
    for (ValueWord v : items) {
        value_retain(v);
        std::memcpy(static_cast<uint8_t*>(mem) + 4 * i++, &v, 4);
    }
    ValueWord w;
    Cell* c = dw_alloc(TAG_ARRAY, &w, 0);
    arr_addr(c) = addr;
    arr_count(c) = n;
    arr_cap(c) = cap;
    return w;
}

ValueWord pairs_of(uint32_t tag, std::vector<std::pair<ValueWord, ValueWord>> pairs) {
    uint32_t n = static_cast<uint32_t>(pairs.size());
    void* mem;
    uint32_t addr = area_alloc((n + 1) * 8, &mem);
    for (uint32_t i = 0; i < n; ++i) {
        value_retain(pairs[i].second);
        std::memcpy(static_cast<uint8_t*>(mem) + 8 * i, &pairs[i].first, 4);
        std::memcpy(static_cast<uint8_t*>(mem) + 8 * i + 4, &pairs[i].second, 4);
    }
    ValueWord w;
    Cell* c = dw_alloc(tag, &w, 0);
    if (tag == TAG_OBJECT) {
        set_obj_count(c, n);
        set_obj_cap(c, n + 1);
        obj_addr(c) = addr;
    } else {
        arr_addr(c) = addr;
        arr_count(c) = n;
        arr_cap(c) = n + 1;
    }
    return w;
}

ValueWord item(ValueWord arr, uint32_t i) {
    ValueWord v;
    std::memcpy(&v, static_cast<uint8_t*>(area_ptr(arr_addr(dw_cell(arr)))) + 4 * i, 4);
    return v;
}

ValueWord pair_word(ValueWord w, uint32_t i, int which) {
    Cell* c = dw_cell(w);
    uint32_t addr = word_tag(w) == TAG_OBJECT ? obj_addr(c) : arr_addr(c);
    ValueWord v;
    std::memcpy(&v, static_cast<uint8_t*>(area_ptr(addr)) + 8 * i + 4 * which, 4);
    return v;
}

ValueWord function_cell() {
    ValueWord f;
    Cell* c = dw_alloc(TAG_FUNCTION, &f, 0);
    fn_body(c) = make_int(1);
    value_retain(fn_body(c));
    return f;
}

}  // namespace

TEST_F(Values, ReleaseByNibble) {
    struct Case { uint32_t holds; bool freed; uint32_t left; } cases[] = {
        {0, true, 0}, {1, true, 0}, {2, false, 1}, {14, false, 13}, {15, false, 15}, {40, false, 15},
    };
    for (const Case& c : cases) {
        ValueWord w = make_int(7);
        for (uint32_t i = 0; i < c.holds; ++i) value_retain(w);
        value_release(w);
        EXPECT_EQ(is_free(w), c.freed) << c.holds;
        if (!c.freed) {
            EXPECT_EQ(value_nibble(w), c.left) << c.holds;
        }
    }
}

TEST_F(Values, SaturatedValueIsNeverFreed) {
    ValueWord w = make_float(2.5, 1);
    for (int i = 0; i < 20; ++i) value_retain(w);
    for (int i = 0; i < 40; ++i) value_release(w);
    value_release_temp(w);
    EXPECT_EQ(value_nibble(w), 15u);
    EXPECT_EQ(cell_float(dw_cell(w)), 2.5);
}

TEST_F(Values, RetainOldAndReleaseTemp) {
    ValueWord w = make_int(1);
    EXPECT_EQ(value_retain_old(w), 0u);
    EXPECT_EQ(value_retain_old(w), 16u);
    value_release_temp(w);  // held: stays
    EXPECT_FALSE(is_free(w));
    ValueWord t = make_int(2);
    value_release_temp(t);
    EXPECT_TRUE(is_free(t));
}

TEST_F(Values, UnholdNeverFrees) {
    struct Case { uint32_t nibble; uint32_t result; uint32_t after; } cases[] = {
        {0, 16, 0}, {1, 32, 0}, {3, 64, 2}, {14, 240, 13}, {15, 0, 15},
    };
    for (const Case& c : cases) {
        ValueWord w = make_int(5, c.nibble);
        EXPECT_EQ(value_unhold(w), c.result) << c.nibble;
        EXPECT_EQ(value_nibble(w), c.after) << c.nibble;
        EXPECT_FALSE(is_free(w));
    }
}

TEST_F(Values, WordsWithoutMemoryAreUntouched) {
    // No cell exists at all: any touch of memory would be caught.
    areas_reset_for_tests();
    ValueWord words[] = {W_UNDEFINED, W_TRUE, W_NULL, W_NAN, name_word(52), intkey_word(7),
                         intkey_word(0xFFFFFF), 0xFF000000u, 0xFFFFFFFFu, 0xFF123456u};
    for (ValueWord w : words) {
        EXPECT_EQ(value_retain(w), w);
        EXPECT_EQ(value_retain_old(w), 0u);
        value_release(w);
        value_release_temp(w);
        value_unhold(w);
        EXPECT_EQ(value_nibble(w), 0u);
        EXPECT_EQ(word_memory(w), nullptr);
        EXPECT_EQ(value_copy(w), w);
    }
}

TEST_F(Values, FreeArrayReleasesElements) {
    ValueWord once = make_int(1);
    ValueWord shared = make_int(2, 1);  // held elsewhere too
    ValueWord s = str("text");
    ValueWord arr = array_of({once, shared, s, W_NULL, intkey_word(3)}, 8);
    uint32_t text_addr = str_addr(dw_cell(s));
    uint32_t block = arr_addr(dw_cell(arr));
    value_release(arr);
    EXPECT_TRUE(is_free(arr));
    EXPECT_TRUE(is_free(once));
    EXPECT_TRUE(is_free(s));
    EXPECT_FALSE(is_free(shared));
    EXPECT_EQ(value_nibble(shared), 1u);
    // Their area memory went back: the next requests of those sizes reuse it.
    EXPECT_EQ(area_alloc(16, nullptr), text_addr);
    EXPECT_EQ(area_alloc(32, nullptr), block);
}

TEST_F(Values, FreeObjectAndSparseReleaseValuesOnly) {
    ValueWord key_val = make_int(9);
    ValueWord obj_val = make_int(10);
    ValueWord keep = make_int(11, 3);
    ValueWord sparse = pairs_of(TAG_SPARSE, {{intkey_word(7), key_val}, {intkey_word(9), keep}});
    ValueWord obj = pairs_of(TAG_OBJECT, {{name_word(13), obj_val}, {name_word(14), keep}});
    value_release(sparse);
    value_release(obj);
    EXPECT_TRUE(is_free(sparse));
    EXPECT_TRUE(is_free(obj));
    EXPECT_TRUE(is_free(key_val));
    EXPECT_TRUE(is_free(obj_val));
    EXPECT_EQ(value_nibble(keep), 3u);  // made with 3, held twice, both holds dropped
}

TEST_F(Values, FreeNodeAndFunction) {
    // A node with 3 operands holds them in an operand block.
    ValueWord ops[3] = {make_int(1), make_int(2), make_int(3, 2)};
    void* mem;
    uint32_t block = area_alloc(12, &mem);
    for (int i = 0; i < 3; ++i) {
        value_retain(ops[i]);
        std::memcpy(static_cast<uint8_t*>(mem) + 4 * i, &ops[i], 4);
    }
    ValueWord node;
    Cell* n = dw_alloc(TAG_NODE, &node, 0);
    n->b2 = 3;
    n->d4 = block;
    n->d12 = make_pos(10, 4);
    // A two-operand node holds them inline.
    ValueWord a = make_int(4), b = make_int(5);
    ValueWord node2;
    Cell* n2 = dw_alloc(TAG_NODE, &node2, 0);
    n2->b2 = 2;
    n2->d4 = value_retain(a);
    n2->d8 = value_retain(b);

    value_release(node);
    value_release(node2);
    EXPECT_TRUE(is_free(node));
    EXPECT_TRUE(is_free(ops[0]));
    EXPECT_TRUE(is_free(ops[1]));
    EXPECT_EQ(value_nibble(ops[2]), 2u);
    EXPECT_TRUE(is_free(a));
    EXPECT_TRUE(is_free(b));
    EXPECT_EQ(area_alloc(12, nullptr), block);

    ValueWord f = function_cell();
    ValueWord body = fn_body(dw_cell(f));
    value_release(f);
    EXPECT_TRUE(is_free(f));
    EXPECT_TRUE(is_free(body));
}

TEST_F(Values, DeepChainFreesWithoutRecursion) {
    // 200,000 nested arrays: each holds the next.
    ValueWord inner = make_int(0);
    ValueWord first = inner;
    for (int i = 0; i < 200000; ++i) inner = array_of({inner});
    value_release(inner);
    EXPECT_TRUE(is_free(first));
    EXPECT_TRUE(is_free(inner));
    EXPECT_EQ(area_stats().dw_free_total, 200001u);
}

TEST_F(Values, CopySimpleKindsAndStrings) {
    ValueWord i = make_int(-42, 3);
    ValueWord f = make_float(1.25);
    ValueWord d;
    Cell* dc = dw_alloc(TAG_DATE, &d, 1);
    dc->b1 = 0x8B;
    dc->d4 = 0x12345678;
    dc->d12 = 1700000000u;
    for (ValueWord w : {i, f, d}) {
        ValueWord c = value_copy(w);
        EXPECT_NE(c, w);
        EXPECT_EQ(word_tag(c), word_tag(w));
        EXPECT_EQ(value_nibble(c), 0u);
        EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(dw_cell(c)) + 1,
                              reinterpret_cast<uint8_t*>(dw_cell(w)) + 1, 15), 0);
    }
    ValueWord s = str("héllo");
    str_cap(dw_cell(s)) = 100;
    ValueWord sc = value_copy(s);
    EXPECT_NE(sc, s);
    EXPECT_NE(str_addr(dw_cell(sc)), str_addr(dw_cell(s)));
    EXPECT_EQ(text_of(sc), "héllo");
    EXPECT_EQ(str_cap(dw_cell(sc)), str_len(dw_cell(s)) + 8);
    EXPECT_EQ(static_cast<const char*>(area_ptr(str_addr(dw_cell(sc))))[6], '\0');
}

TEST_F(Values, CopyContainersDeep) {
    ValueWord inner = array_of({make_int(1), str("a")});
    ValueWord arr = array_of({inner, W_TRUE, make_float(0.5)}, 6);
    dw_cell(arr)->b1 = 3;
    ValueWord c = value_copy(arr);
    Cell* cc = dw_cell(c);
    EXPECT_EQ(arr_count(cc), 3u);
    EXPECT_EQ(arr_cap(cc), 6u);
    EXPECT_EQ(cc->b1, 3);
    ValueWord ci = item(c, 0);
    EXPECT_NE(ci, inner);
    EXPECT_EQ(value_nibble(ci), 1u);
    EXPECT_EQ(item(c, 1), W_TRUE);
    EXPECT_NE(item(ci, 1), item(inner, 1));
    EXPECT_EQ(text_of(item(ci, 1)), "a");
    EXPECT_EQ(value_nibble(item(ci, 1)), 1u);
    // Releasing the original leaves the copy whole.
    value_release(arr);
    EXPECT_EQ(text_of(item(ci, 1)), "a");
    EXPECT_EQ(cell_float(dw_cell(item(c, 2))), 0.5);

    ValueWord v = make_int(8);
    ValueWord obj = pairs_of(TAG_OBJECT, {{name_word(13), v}, {intkey_word(2), W_NULL}});
    Cell* oc = dw_cell(obj);
    oc->b1 = 0x40;
    oc->b2 = 7;
    oc->b3 = 9;
    obj_class(oc) = 19;
    ValueWord o2 = value_copy(obj);
    Cell* c2 = dw_cell(o2);
    EXPECT_EQ(c2->b1, 0x40);
    EXPECT_EQ(c2->b2, 7);
    EXPECT_EQ(c2->b3, 9);
    EXPECT_EQ(obj_class(c2), 19u);
    EXPECT_EQ(obj_count(c2), 2u);
    EXPECT_EQ(obj_cap(c2), 3u);
    EXPECT_EQ(pair_word(o2, 0, 0), name_word(13));
    EXPECT_EQ(pair_word(o2, 1, 0), intkey_word(2));
    EXPECT_NE(pair_word(o2, 0, 1), v);
    EXPECT_EQ(cell_int(dw_cell(pair_word(o2, 0, 1))), 8);

    ValueWord sp = pairs_of(TAG_SPARSE, {{intkey_word(100), v}});
    ValueWord sp2 = value_copy(sp);
    EXPECT_EQ(arr_count(dw_cell(sp2)), 1u);
    EXPECT_EQ(pair_word(sp2, 0, 0), intkey_word(100));
    EXPECT_EQ(cell_int(dw_cell(pair_word(sp2, 0, 1))), 8);
}

TEST_F(Values, CopySharesHandlesAndRefusesNodes) {
    ValueWord err = make_error_value("2000", "x", 1);
    ValueWord f = function_cell();
    void* mem;
    uint32_t conn_addr = area_alloc(40, &mem);
    static_cast<uint8_t*>(mem)[0] = TAG_DBCONN;
    ValueWord conn = make_word(TAG_DBCONN, conn_addr);
    uint32_t sql_addr = area_alloc(40, &mem);
    static_cast<uint8_t*>(mem)[0] = TAG_SQL;
    ValueWord sql = make_word(TAG_SQL, sql_addr);
    for (ValueWord w : {err, f, conn, sql}) {
        uint32_t before = value_nibble(w);
        EXPECT_EQ(value_copy(w), w);
        EXPECT_EQ(value_nibble(w), before + 1);
    }
    // Inside a container the new holder counts once.
    uint32_t before = value_nibble(f);
    ValueWord arr = array_of({f});
    ValueWord copy = value_copy(arr);
    EXPECT_EQ(item(copy, 0), f);
    EXPECT_EQ(value_nibble(f), before + 2);

    ValueWord node;
    dw_alloc(TAG_NODE, &node, 0);
    for (ValueWord bad : {node, array_of({node})}) {
        try {
            value_copy(bad);
            ADD_FAILURE() << "no report";
        } catch (const ScriptThrow& t) {
            size_t len = 0;
            EXPECT_STREQ(error_code_text(t.value), "1420");
            const char* msg = error_message_text(t.value, &len);
            EXPECT_NE(std::string(msg, len).find("newの引数不正"), std::string::npos);
        }
    }
}

TEST_F(Values, CopyRefusesNestingTooDeep) {
    auto code_of = [](ValueWord w) -> std::string {
        try {
            value_copy(w);
        } catch (const ScriptThrow& t) {
            size_t len = 0;
            const char* msg = error_message_text(t.value, &len);
            EXPECT_NE(std::string(msg, len).find(" : データの入れ子が深すぎます"), std::string::npos);
            return error_code_text(t.value);
        }
        return "none";
    };
    // Containers that hold themselves.
    ValueWord self_arr = array_of({W_NULL});
    std::memcpy(area_ptr(arr_addr(dw_cell(self_arr))), &self_arr, 4);
    ValueWord self_obj = pairs_of(TAG_OBJECT, {{name_word(13), W_NULL}});
    std::memcpy(static_cast<uint8_t*>(area_ptr(obj_addr(dw_cell(self_obj)))) + 4, &self_obj, 4);
    ValueWord self_sparse = pairs_of(TAG_SPARSE, {{intkey_word(3), W_NULL}});
    std::memcpy(static_cast<uint8_t*>(area_ptr(arr_addr(dw_cell(self_sparse)))) + 4, &self_sparse, 4);
    for (ValueWord w : {self_arr, self_obj, self_sparse}) EXPECT_EQ(code_of(w), "2390");

    // What a failed copy had already copied is given back: the shared
    // function's count is where it was.
    ValueWord f = function_cell();
    ValueWord outer = array_of({f, self_arr});
    uint32_t before = value_nibble(f);
    EXPECT_EQ(code_of(outer), "2390");
    EXPECT_EQ(value_nibble(f), before);

    // 1000 levels are copied; one more is refused.
    ValueWord chain = array_of({});
    for (int i = 1; i < 1000; ++i) chain = array_of({chain});
    ValueWord copy = value_copy(chain);
    int levels = 1;
    for (ValueWord w = copy; arr_count(dw_cell(w)) == 1; w = item(w, 0)) ++levels;
    EXPECT_EQ(levels, 1000);
    EXPECT_EQ(code_of(array_of({chain})), "2390");
}

TEST_F(Values, ErrorValueLayout) {
    ValueWord e = make_error_value("1435", "Buffer Overflow", 15);
    EXPECT_EQ(word_tag(e), TAG_ERROR);
    const uint8_t* p = word_memory(e);
    EXPECT_EQ(p[0], TAG_ERROR);
    EXPECT_EQ(p[2] | p[3] << 8, 15);
    EXPECT_EQ(p[4] | p[5] << 8, 4);
    EXPECT_STREQ(reinterpret_cast<const char*>(p + 6), "1435");
    EXPECT_STREQ(reinterpret_cast<const char*>(p + 12), "Buffer Overflow");
    size_t len = 0;
    EXPECT_EQ(error_message_text(e, &len), reinterpret_cast<const char*>(p + 12));
    EXPECT_EQ(len, 15u);
    EXPECT_STREQ(error_code_text(e), "1435");

    // Code text cut at 19 characters, message at 65,535 bytes.
    std::string long_msg(70000, 'm');
    ValueWord big = make_error_value("123456789012345678901234", long_msg.data(), long_msg.size());
    EXPECT_STREQ(error_code_text(big), "1234567890123456789");
    const char* m = error_message_text(big, &len);
    EXPECT_EQ(len, 65535u);
    EXPECT_EQ(m[65534], 'm');
    EXPECT_EQ(m[65535], '\0');
    EXPECT_EQ(addr_area(big & 0xFFFFFF), 15u);

    // Freed in managed mode like any area value.
    ValueWord small = make_error_value("1", "a", 1);
    uint32_t addr = small & 0xFFFFFF;
    value_release(small);
    EXPECT_EQ(area_alloc(12, nullptr), addr);
}

TEST_F(Values, ErrorValueMadeInBuildModeWhenFreeAreaIsFull) {
    areas_reset_for_tests();
    for (int b = 0; b <= 1022; ++b) area_alloc(4088, nullptr);  // every block holds 1023 units
    // The report of the exhausted area still carries its error value.
    try {
        area_alloc(4000, nullptr);
        ADD_FAILURE() << "no report";
    } catch (const ScriptThrow& t) {
        EXPECT_STREQ(error_code_text(t.value), "1435");
        EXPECT_EQ(addr_area(t.value & 0xFFFFFF), 15u);
    }
}
