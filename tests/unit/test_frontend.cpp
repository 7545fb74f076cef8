// Front-end messages of script values: element encodings, nested arrays and
// Objects under references, the alert, the counters and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/frontend.h"
#include "driver/errors.h"
#include "driver/request.h"
#include "driver/run.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {
namespace {

struct FrontendTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
    }
};

ValueWord str(const char* s) { return make_string(s, std::strlen(s)); }

ValueWord array_of(std::initializer_list<ValueWord> items) {
    void* mem;
    uint32_t cap = static_cast<uint32_t>(items.size()) + 10;
    uint32_t addr = area_alloc(cap * 4, &mem);
    ValueWord out;
    Cell* c = dw_alloc(TAG_ARRAY, &out, 0);
    arr_addr(c) = addr;
    arr_cap(c) = cap;
    AreaWord* w = static_cast<AreaWord*>(mem);
    for (ValueWord v : items) w[arr_count(c)++] = value_retain(v);
    return out;
}

ValueWord object_of(std::initializer_list<std::pair<ValueWord, ValueWord>> pairs) {
    void* mem;
    uint32_t cap = static_cast<uint32_t>(pairs.size()) + 10;
    uint32_t addr = area_alloc(cap * 8, &mem);
    ValueWord out;
    Cell* c = dw_alloc(TAG_OBJECT, &out, 0);
    obj_addr(c) = addr;
    set_obj_cap(c, cap);
    AreaWord* w = static_cast<AreaWord*>(mem);
    uint32_t n = 0;
    for (auto& p : pairs) {
        w[2 * n] = p.first;
        w[2 * n + 1] = value_retain(p.second);
        set_obj_count(c, ++n);
    }
    return out;
}

ValueWord key(const char* s) { return name_word(intern(s, std::strlen(s))); }

// Standard output of f, and the code of the error it raised ("" if none).
template <typename F>
std::string output_of(F f, std::string* code = nullptr) {
    testing::internal::CaptureStdout();
    std::string c;
    try {
        f();
    } catch (const ScriptThrow& t) {
        c = error_code_text(t.value);
    }
    std::string out = testing::internal::GetCapturedStdout();
    if (code) *code = c;
    return out;
}

void send(const char* name, ValueWord v) { send_value(name, std::strlen(name), v); }

TEST_F(FrontendTest, ScalarMessages) {
    ValueWord date;
    Cell* d = dw_alloc(TAG_DATE, &date, 0);
    d->b1 = 1;                // February
    d->b2 = 13;               // 13 h
    d->b3 = 9;                // the 9th
    d->d4 = 5u | (7u << 8) | (2024u << 16);
    struct Case {
        ValueWord v;
        const char* out;
    } cases[] = {
        {W_UNDEFINED, "s11x10"},
        {make_int(-5), "s11xP-5"},
        {make_int(0), "s11xO0"},
        {make_float(1.5), "s11xd1.5"},
        {make_float(1e300), "s11xg1e+300"},
        {W_TRUE, "s11x14true"},
        {W_NULL, "s11x14null"},
        {W_NAN, "s11x13NaN"},
        {str("a b"), "s11xB5a%20b"},
        {str(""), "s11x10"},
        {date, "s11xC212024-02-09%2013:05:07"},
    };
    for (const Case& c : cases) EXPECT_EQ(output_of([&] { send("x", c.v); }), c.out);
    d->d8 = 45;
    EXPECT_EQ(output_of([&] { send("x", date); }), "s11xC252024-02-09%2013:05:07.045");
    EXPECT_EQ(output_of([&] { send("名", make_int(1)); }), "sB9%E5%90%8DO1");
    EXPECT_EQ(g_run.count_s, 13u);
}

TEST_F(FrontendTest, NestedArraysAndObjectsGoFirst) {
    ValueWord arr = array_of({make_int(1), str("a b"), array_of({make_int(2)})});
    EXPECT_EQ(output_of([&] { send("arr", arr); }),
              "A1118^A500001O2"
              "A1313arrO1B5a%20b18^A500001");
    ValueWord h = object_of({{key("k"), W_TRUE}});
    EXPECT_EQ(output_of([&] { send("h", h); }), "H1111h11k14true");
    // Depth first: children numbered in the order they are met.
    ValueWord deep = object_of({{key("a"), array_of({object_of({{intkey_word(7), W_UNDEFINED}})})},
                                {key("b"), array_of({})}});
    EXPECT_EQ(output_of([&] { send("d", deep); }),
              "H1118^H500003" "117" "10"
              "A1118^A500002" "18^H500003"
              "A1018^A500004"
              "H1211d" "11a18^A500002" "11b18^A500004");
    EXPECT_EQ(g_run.count_a, 4u);
    EXPECT_EQ(g_run.count_h, 3u);
}

TEST_F(FrontendTest, ArraysInReusedAreaMemory) {
    // In managed mode element blocks sit in sized-area slots, which may be
    // only 2-byte aligned.
    set_managed_mode();
    std::string want;
    for (int n = 0; n < 12; ++n) {
        std::vector<ValueWord> items;
        std::string elems;
        for (int i = 0; i < n; ++i) {
            items.push_back(make_int(i));
            std::string digits = std::to_string(i);
            elems += static_cast<char>('N' + digits.size()) + digits;
        }
        void* mem;
        uint32_t addr = area_alloc(static_cast<size_t>(n + 1) * 4 + 2, &mem);
        ValueWord arr;
        Cell* c = dw_alloc(TAG_ARRAY, &arr, 0);
        arr_addr(c) = addr;
        arr_cap(c) = static_cast<uint32_t>(n + 1);
        AreaWord* w = static_cast<AreaWord*>(mem);
        for (ValueWord v : items) w[arr_count(c)++] = value_retain(v);
        std::string count = std::to_string(n);
        EXPECT_EQ(output_of([&] { send("a", arr); }), "A" + std::to_string(count.size()) + count + "11a" + elems);
    }
}

TEST_F(FrontendTest, Alerts) {
    EXPECT_EQ(output_of([] { send_alert(W_UNDEFINED); }), "s219XYZBCA_ALERT_ABCZYX10");
    EXPECT_EQ(output_of([] { send_alert(str("stop")); }), "s219XYZBCA_ALERT_ABCZYX14stop");
    const char msg[] = "EVAL ERROR 1800 (MainScript:0:0) : x";
    ValueWord err = make_error_value("1800", msg, sizeof msg - 1);
    EXPECT_EQ(output_of([&] { send_alert(err); }),
              "s219XYZBCA_ALERT_ABCZYX"
              "C82Exception:%20CODE=1800,%20MESSAGE='EVAL%20ERROR%201800%20(MainScript:0:0)%20:%20x'");
    std::string code;
    EXPECT_EQ(output_of([] { send_alert(make_int(1)); }, &code), "");
    EXPECT_EQ(code, "1340");
    EXPECT_EQ(g_run.count_s, 3u);
}

TEST_F(FrontendTest, Refusals) {
    ValueWord sparse;
    dw_alloc(TAG_SPARSE, &sparse, 0);
    ValueWord fn;
    dw_alloc(TAG_FUNCTION, &fn, 0);
    ValueWord cyclic = array_of({make_int(1)});
    // The array holds itself as its second element.
    Cell* c = dw_cell(cyclic);
    static_cast<AreaWord*>(area_ptr(arr_addr(c)))[1] = cyclic;
    arr_count(c) = 2;
    struct Case {
        ValueWord v;
        const char* code;
        const char* out;
    } cases[] = {
        {sparse, "1330", ""},
        {fn, "1330", ""},
        {name_word(intern("abc", 3)), "1335", ""},
        {array_of({fn}), "1215", ""},
        {array_of({sparse}), "1215", ""},
        {cyclic, "2390", ""},
    };
    for (const Case& k : cases) {
        std::string code;
        EXPECT_EQ(output_of([&] { send("x", k.v); }, &code), k.out);
        EXPECT_EQ(code, k.code);
    }
    // After a refusal the next message is sent normally.
    EXPECT_EQ(output_of([&] { send("y", array_of({})); }), "A1011y");
}

// The element text of a real (marker and text).
std::string real_element(double d) {
    TextBuf out;
    put_element_value(out, make_float(d));
    std::string s(out.data, out.len);
    textbuf_free(out);
    return s;
}

TEST_F(FrontendTest, RealsKeepTheirDigitsWithinFourteenCharacters) {
    struct Case {
        double d;
        const char* out;  // text after the marker "a" + its length
    } cases[] = {
        {1.5, "1.5"},
        {0.1, "0.1"},
        {2.0, "2"},
        {-0.0, "-0"},
        {100.0, "100"},
        {1e21, "1e+21"},
        {1e-5, "1e-05"},
        {0.25, "0.25"},
        {1234567.89, "1234567.89"},      // "%g" gave 1.23457e+06
        {123456789012.0, "123456789012"},
        {-2.5e-300, "-2.5e-300"},
        {5e-324, "5e-324"},
        // Shortest texts longer than 14 characters: the most digits that fit.
        {1.0 / 3, "0.333333333333"},
        {-1.0 / 3, "-0.33333333333"},
        {0.1 + 0.2, "0.3"},
        {123456789012345678.0, "1.23456789e+17"},
        {1.7976931348623157e308, "1.7976931e+308"},
        {-1.2345678901234567e-100, "-1.234568e-100"},
        {HUGE_VAL, "inf"},
    };
    for (const Case& c : cases) {
        std::string text = c.out;
        EXPECT_EQ(real_element(c.d), static_cast<char>('a' + text.size()) + text) << c.d;
    }
}

// Decodes the text of a real element as a request sends a real: "a" plus
// the count of length digits, the length and the text.
double read_back(const std::string& element) {
    static TempObjects temps;
    std::string text = element.substr(1);
    std::string len = std::to_string(text.size());
    std::string req = static_cast<char>('a' + len.size()) + len + text;
    ReqCursor c{req.data(), req.data() + req.size()};
    temps.count = 0;
    ValueWord v = req_element(c, temps);
    EXPECT_EQ(c.p, c.end) << text;
    EXPECT_EQ(word_tag(v), TAG_FLOAT) << text;
    return cell_float(dw_cell(v));
}

TEST_F(FrontendTest, RealsReadBackThroughTheRequestDecoder) {
    // Shortest texts that fit: the same double comes back.
    const double exact[] = {1.5,  0.1,          2.0,         1e21,        1234567.89,           6.02214076e23,
                            -1e-7, 123456.789e3, 0.000123456, 5e-324,     1e100};
    for (double d : exact) EXPECT_EQ(read_back(real_element(d)), d) << real_element(d);
    // Longer ones: the digits that fit come back as written.
    const double cut[] = {0.1 + 0.2, 1.0 / 3, 1.7976931348623157e308, 9007199254740993.0, -2.0 / 3e-200,
                          2.2250738585072014e-308};
    for (double d : cut) {
        std::string el = real_element(d);
        EXPECT_EQ(read_back(el), std::strtod(el.c_str() + 1, nullptr)) << el;
        EXPECT_NEAR(read_back(el) / d, 1.0, 1e-7) << el;
    }
}

TEST_F(FrontendTest, ReferenceNumbersStopAtSixDigits) {
    frontend_reset_for_tests(REFERENCE_LAST - 1);
    std::string code;
    // The last number is still given; the next container fails with its type.
    EXPECT_EQ(output_of([&] { send("x", array_of({array_of({}), array_of({})})); }, &code), "A1018^A999999");
    EXPECT_EQ(code, "1215");
    EXPECT_EQ(output_of([&] { send("x", array_of({object_of({})})); }, &code), "");
    EXPECT_EQ(code, "1215");
    // A container sent under its own name needs no number.
    EXPECT_EQ(output_of([&] { send("y", array_of({make_int(1)})); }, &code), "A1111yO1");
    EXPECT_EQ(code, "");
}

TEST_F(FrontendTest, ReferenceOverflowNamesTheType) {
    frontend_reset_for_tests(REFERENCE_LAST);
    for (auto [v, tag] : {std::pair{array_of({}), "(10)"}, std::pair{object_of({}), "(12)"}}) {
        try {
            TextBuf out;
            put_element_value(out, v);
            ADD_FAILURE() << "no error";
        } catch (const ScriptThrow& t) {
            std::string m = report_text(t);
            EXPECT_STREQ(error_code_text(t.value), "1215");
            EXPECT_NE(m.find(std::string("フロントエンドに送信するデータの型不正") + tag), std::string::npos) << m;
        }
    }
}

TEST_F(FrontendTest, NestingBound) {
    // A chain of n arrays, each holding the next.
    auto chain = [](int n) {
        ValueWord v = array_of({});
        for (int i = 1; i < n; ++i) v = array_of({v});
        return v;
    };
    std::string code;
    std::string out = output_of([&] { send("x", chain(SEND_DEPTH_MAX)); }, &code);
    EXPECT_EQ(code, "");
    EXPECT_EQ(out.substr(0, 13), "A1018^A" + std::to_string(REFERENCE_BASE + SEND_DEPTH_MAX - 1));
    EXPECT_EQ(out.substr(out.size() - 16), "A1111x18^A500001");
    EXPECT_EQ(g_run.count_a, static_cast<uint32_t>(SEND_DEPTH_MAX));
    frontend_reset_for_tests();
    EXPECT_EQ(output_of([&] { send("x", chain(SEND_DEPTH_MAX + 1)); }, &code), "");
    EXPECT_EQ(code, "2390");
    // An Object inside an array inside itself.
    ValueWord h = object_of({{key("k"), make_int(1)}, {key("self"), make_int(0)}});
    ValueWord outer = array_of({h});
    static_cast<AreaWord*>(area_ptr(obj_addr(dw_cell(h))))[3] = value_retain(outer);
    EXPECT_EQ(output_of([&] { send("x", outer); }, &code), "");
    EXPECT_EQ(code, "2390");
}

TEST_F(FrontendTest, ScriptModeWritesNothingButCounts) {
    g_run.mode = RunMode::Script;
    EXPECT_EQ(output_of([&] {
                  send("a", array_of({array_of({})}));
                  send("s", make_int(1));
                  send_alert(W_UNDEFINED);
              }),
              "");
    EXPECT_EQ(g_run.count_a, 2u);
    EXPECT_EQ(g_run.count_s, 2u);
}

}  // namespace
}  // namespace velt
