#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "driver/errors.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"
#include "tests/unit/test_support.h"

using namespace velt;

namespace {

class Text : public ::testing::Test {
protected:
    void SetUp() override {
        areas_reset_for_tests();
        names_reset_for_tests();
        names_init();
    }
    void TearDown() override {
        areas_reset_for_tests();
        names_reset_for_tests();
    }
};

// Frees the buffer through textbuf_free, as callers may.
struct OwnedBuf {
    TextBuf b;
    ~OwnedBuf() { textbuf_free(b); }
    std::string str() const { return std::string(b.data ? b.data : "", b.len); }
};

std::string plain(ValueWord w) {
    OwnedBuf o;
    value_text(w, o.b);
    return o.str();
}

std::string display(ValueWord w, bool quote) {
    OwnedBuf o;
    value_display(w, quote, o.b);
    return o.str();
}

ValueWord str(const std::string& s) { return make_string(s.data(), s.size()); }

ValueWord make_array(const std::vector<ValueWord>& elems) {
    void* mem = nullptr;
    uint32_t addr = area_alloc(elems.empty() ? 4 : elems.size() * 4, &mem);
    if (!elems.empty()) std::memcpy(mem, elems.data(), elems.size() * 4);
    ValueWord w;
    Cell* c = dw_alloc(TAG_ARRAY, &w, 0);
    arr_addr(c) = addr;
    arr_count(c) = static_cast<uint32_t>(elems.size());
    arr_cap(c) = static_cast<uint32_t>(elems.size());
    return w;
}

// Object or sparse array from (key, value) pairs.
ValueWord make_pairs(uint32_t tag, const std::vector<std::pair<ValueWord, ValueWord>>& pairs) {
    void* mem = nullptr;
    uint32_t addr = area_alloc(pairs.empty() ? 8 : pairs.size() * 8, &mem);
    auto* words = static_cast<ValueWord*>(mem);
    for (size_t i = 0; i < pairs.size(); ++i) {
        words[2 * i] = pairs[i].first;
        words[2 * i + 1] = pairs[i].second;
    }
    ValueWord w;
    Cell* c = dw_alloc(tag, &w, 0);
    uint32_t n = static_cast<uint32_t>(pairs.size());
    if (tag == TAG_OBJECT) {
        set_obj_count(c, n);
        set_obj_cap(c, n);
        obj_addr(c) = addr;
    } else {
        arr_addr(c) = addr;
        arr_count(c) = n;
        arr_cap(c) = n;
    }
    return w;
}

ValueWord key(const char* name) { return name_word(intern(name, std::strlen(name))); }

// Runs f, which must raise an error; returns its code and report text.
template <typename F>
std::pair<std::string, std::string> raised(F f) {
    try {
        f();
    } catch (const ScriptThrow& t) {
        return {error_code_text(t.value), report_text(t)};
    }
    ADD_FAILURE() << "no error raised";
    return {"", ""};
}

// read_number over an exact-size heap copy (no NUL after the text), so
// that reading past the end shows under AddressSanitizer.
struct Read {
    NumberRead r;
    size_t used;
};
Read read_exact(const std::string& text) {
    std::unique_ptr<char[]> buf(new char[text.size() + 1]);
    std::memcpy(buf.get(), text.data(), text.size());
    const char* begin = buf.get();
    const char* p = begin;
    NumberRead r = read_number(&p, begin + text.size());
    return {r, static_cast<size_t>(p - begin)};
}

}  // namespace

TEST_F(Text, FormatNumbers) {
    struct Case {
        double d;
        const char* text;
    };
    const Case cases[] = {
        {2.0, "2.0"},          {0.1 + 0.2, "0.3"},  {1.0 / 3, "0.3333333333"}, {2.5, "2.5"},
        {-0.5, "-0.5"},        {1e-11, "0.0"},      {123456789.125, "123456789.125"},
        {1000.0, "1000.0"},    {-2.0 / 3, "-0.6666666667"},
    };
    char out[400];
    for (const Case& c : cases) {
        size_t n = format_float(out, c.d);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(n, std::strlen(c.text));
    }
    // The largest doubles and the non-finite ones fit the buffer.
    size_t n = format_float(out, -std::numeric_limits<double>::max());
    EXPECT_EQ(n, 312u);  // sign, 309 digits, ".0"
    EXPECT_EQ(std::string(out + n - 2), ".0");
    format_float(out, INFINITY);
    EXPECT_STREQ(out, "inf");
    EXPECT_LT(format_float(out, std::nan("")), 8u);

    char iout[16];
    EXPECT_EQ(format_int(iout, INT32_MIN), 11u);
    EXPECT_STREQ(iout, "-2147483648");
}

TEST_F(Text, MakeStringLayout) {
    const char bytes[] = {'a', '\0', 'b'};
    ValueWord w = make_string(bytes, 3);
    EXPECT_EQ(word_tag(w), TAG_STRING);
    EXPECT_EQ(value_nibble(w), 0u);
    Cell* c = dw_cell(w);
    EXPECT_EQ(str_len(c), 3u);
    EXPECT_EQ(str_cap(c), 11u);
    EXPECT_EQ(str_mark(c), 0);
    EXPECT_EQ(string_length(w), 3u);
    EXPECT_EQ(std::memcmp(string_text(w), bytes, 3), 0);
    EXPECT_EQ(string_text(w)[3], '\0');
    ValueWord e = make_string("", 0);
    EXPECT_EQ(string_length(e), 0u);
    EXPECT_STREQ(string_text(e), "");
}

TEST_F(Text, ScalarTextForms) {
    struct Case {
        ValueWord w;
        const char* text;
    };
    const Case cases[] = {
        {W_UNDEFINED, "undefined"},
        {W_TRUE, "true"},
        {W_NULL, "null"},
        {W_NAN, "NaN"},
        {key("someName"), "someName"},
        {make_int(-42), "-42"},
        {make_float(2.0), "2.0"},
        {make_float(0.1 + 0.2), "0.3"},
        {str("abc"), "abc"},
        {make_error_value("2030", "bad thing", 9), "2030:bad thing"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plain(c.w), c.text);
        EXPECT_EQ(display(c.w, false), c.text);
    }
    EXPECT_EQ(display(str("abc"), true), "\"abc\"");
    EXPECT_EQ(plain(str("")), "");
}

TEST_F(Text, ArraysAndObjects) {
    ValueWord arr = make_array({make_int(1), str("a")});
    EXPECT_EQ(plain(arr), "[1,\"a\"]");
    EXPECT_EQ(display(arr, false), "[1,\"a\"]");
    EXPECT_EQ(plain(make_array({})), "[]");

    ValueWord obj = make_pairs(TAG_OBJECT, {{key("a"), str("b")}});
    EXPECT_EQ(display(obj, true), "{'a':\"b\"}");
    EXPECT_EQ(plain(obj), "{a:\"b\"}");
    EXPECT_EQ(plain(make_pairs(TAG_OBJECT, {})), "{}");

    // Nested values are in display form: object keys quoted inside an array.
    ValueWord nested = make_array({obj, make_array({make_float(1.5), W_NULL}), W_UNDEFINED});
    EXPECT_EQ(plain(nested), "[{'a':\"b\"},[1.5,null],undefined]");

    ValueWord intkeys = make_pairs(TAG_OBJECT, {{intkey_word(7), make_int(1)}, {key("k"), str("v")}});
    EXPECT_EQ(display(intkeys, false), "{'7':1,'k':\"v\"}");

    ValueWord sparse = make_pairs(TAG_SPARSE, {{intkey_word(3), str("x")}, {key("k"), make_int(1)}});
    EXPECT_EQ(plain(sparse), "[3:\"x\",k:1]");
    EXPECT_EQ(plain(make_pairs(TAG_SPARSE, {})), "[]");
}

TEST_F(Text, NodesDatesAndRegExps) {
    ValueWord node;
    Cell* c = dw_alloc(TAG_NODE, &node, 0);
    c->b3 = 186;
    EXPECT_EQ(plain(node), "operation_index: 186");
    EXPECT_EQ(display(node, true), "Operation");

    ValueWord date;
    uint8_t* d = reinterpret_cast<uint8_t*>(dw_alloc(TAG_DATE, &date, 0));
    d[1] = 2;        // March
    d[2] = 9;        // hour
    d[3] = 5;        // day 5
    d[4] = 7;        // minute
    d[5] = 30;       // second
    int16_t year = 2024;
    std::memcpy(d + 6, &year, 2);
    EXPECT_EQ(plain(date), "2024-03-05 09:07:30");
    d[8] = 45;  // milliseconds
    EXPECT_EQ(display(date, true), "2024-03-05 09:07:30.045");

    ValueWord hooked_date = date;
    date_text_hook = [](ValueWord, bool display_form, TextBuf& out) {
        textbuf_append(out, display_form ? "D" : "P");
    };
    EXPECT_EQ(plain(make_array({hooked_date})), "[D]");
    EXPECT_EQ(plain(hooked_date), "P");
    date_text_hook = nullptr;
}

TEST_F(Text, UnsupportedKindsRaiseTheirCodes) {
    ValueWord fn;
    dw_alloc(TAG_FUNCTION, &fn, 0);
    EXPECT_EQ(raised([&] { plain(fn); }).first, "2522");
    EXPECT_EQ(raised([&] { display(fn, true); }).first, "2520");
    EXPECT_EQ(raised([&] { plain(intkey_word(5)); }).first, "2522");
    EXPECT_EQ(raised([&] { plain(make_word(TAG_NONE, 0)); }).first, "2522");
    // Inside an array the elements are in display form.
    EXPECT_EQ(raised([&] { plain(make_array({make_int(1), fn})); }).first, "2520");
}

TEST_F(Text, ContainersNestedTooDeepAreRefusedNotOverflowed) {
    // An array, a sparse array and an object that hold themselves.
    ValueWord arr = make_array({make_int(1)});
    static_cast<ValueWord*>(area_ptr(arr_addr(dw_cell(arr))))[0] = arr;
    ValueWord sparse = make_pairs(TAG_SPARSE, {{intkey_word(4), W_NULL}});
    static_cast<ValueWord*>(area_ptr(arr_addr(dw_cell(sparse))))[1] = sparse;
    ValueWord obj = make_pairs(TAG_OBJECT, {{key("me"), W_NULL}});
    static_cast<ValueWord*>(area_ptr(obj_addr(dw_cell(obj))))[1] = obj;
    for (ValueWord w : {arr, sparse, obj}) {
        auto r = raised([&] { plain(w); });
        EXPECT_EQ(r.first, "2390");
        EXPECT_NE(r.second.find(" : データの入れ子が深すぎます"), std::string::npos) << r.second;
        EXPECT_EQ(raised([&] { display(w, true); }).first, "2390");
    }
    // 1000 levels are written; one more is refused.
    ValueWord chain = make_array({});
    for (int i = 1; i < 1000; ++i) chain = make_array({chain});
    std::string s = plain(chain);
    EXPECT_EQ(s.size(), 2000u);
    EXPECT_EQ(s.substr(0, 3), "[[[");
    EXPECT_EQ(raised([&] { display(make_array({chain}), false); }).first, "2390");
}

TEST_F(Text, LongTextsGrowTheBuffer) {
    std::string big(100000, 'x');
    ValueWord w = make_array({str(big), str(big)});
    std::string s = plain(w);
    EXPECT_EQ(s.size(), 2 * big.size() + 7);
    std::string longmsg(20000, 'm');
    EXPECT_EQ(plain(make_error_value("1", longmsg.data(), longmsg.size())), "1:" + longmsg);
}

TEST_F(Text, ReadNumber) {
    struct Case {
        const char* text;
        bool is_int;
        int64_t i;
        double d;
        size_t used;
    };
    const Case cases[] = {
        {"0x1F", true, 31, 0, 4},
        {"0xffG", true, 255, 0, 4},
        {"0x", true, 0, 0, 1},
        {"0xg", true, 0, 0, 1},
        {"42", true, 42, 0, 2},
        {"12abc", true, 12, 0, 2},
        {"007", true, 7, 0, 3},
        {".5", false, 0, 0.5, 2},
        {".25e2x", false, 0, 25.0, 5},
        {"1e3", false, 0, 1000.0, 3},
        {"1E+2", false, 0, 100.0, 4},
        {"1.5e-2", false, 0, 0.015, 6},
        {"1.5", false, 0, 1.5, 3},
        {"1.", false, 0, 1.0, 2},
        {"1.2.3", false, 0, 1.2, 3},
        {"0.1", false, 0, 0.1, 3},
        {"9223372036854775807", true, INT64_MAX, 0, 19},
        {"9223372036854775808", false, 0, 9223372036854775808.0, 19},
        {"0x8000000000000000", false, 0, 9223372036854775808.0, 18},
        {"1e400", false, 0, INFINITY, 5},
        {"abc", true, 0, 0, 0},
        {"e5", true, 0, 0, 0},
        {"", true, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Read r = read_exact(c.text);
        EXPECT_EQ(r.r.is_int, c.is_int) << c.text;
        EXPECT_EQ(r.used, c.used) << c.text;
        if (c.is_int) {
            EXPECT_EQ(r.r.i, c.i) << c.text;
        } else {
            EXPECT_EQ(r.r.d, c.d) << c.text;
        }
    }
}

TEST_F(Text, ReadNumberStopsAtEnd) {
    const char text[] = "12345e5";
    const char* p = text;
    NumberRead r = read_number(&p, text + 3);
    EXPECT_TRUE(r.is_int);
    EXPECT_EQ(r.i, 123);
    EXPECT_EQ(p, text + 3);
    // The exponent marker is inside the range but its digits are not.
    p = text;
    EXPECT_EQ(raised([&] { read_number(&p, text + 6); }).first, "1405");
}

TEST_F(Text, MalformedNumbersRaise1405) {
    const char* bad[] = {".1.2", "1e", "1e+", "2E-x", ".", ".e5", "1.5e"};
    for (const char* text : bad) {
        auto [code, message] = raised([&] { read_exact(text); });
        EXPECT_EQ(code, "1405") << text;
        EXPECT_NE(message.find(std::string("数字のフォーマット不正 '") + text + "'"), std::string::npos)
            << message;
    }
    // The quoted text is cut to 120 bytes, on a character boundary.
    std::string longtext = "1e" + std::string(117, 'x') + "\xE3\x81\x82" + std::string(50, 'y');
    auto [code, message] = raised([&] { read_exact(longtext); });
    EXPECT_EQ(code, "1405");
    EXPECT_NE(message.find("'" + longtext.substr(0, 119) + "'"), std::string::npos);
}

TEST_F(Text, IntegerConversion) {
    struct Case {
        ValueWord arg;
        uint32_t tag;
        const char* text;
    };
    const Case cases[] = {
        {str("-2.5"), TAG_INT, "-2"},
        {str("2.5"), TAG_INT, "2"},
        {str("12abc"), TAG_INT, "12"},
        {str("+7"), TAG_INT, "7"},
        {str("-0x10"), TAG_INT, "-16"},
        {str("1e3"), TAG_INT, "1000"},
        {str("-2147483648"), TAG_INT, "-2147483648"},
        {str("2147483648"), TAG_FLOAT, "2147483648.0"},
        {str("-3000000000.5"), TAG_FLOAT, "-3000000000.5"},
        {str(""), TAG_INT, "0"},
        {str("abc"), TAG_INT, "0"},
        {make_float(2.75), TAG_INT, "2"},
        {make_float(-2.75), TAG_INT, "-2"},
        {make_float(1e10), TAG_FLOAT, "10000000000.0"},
        {make_float(std::nan("")), TAG_FLOAT, nullptr},
        {make_int(5), TAG_INT, "5"},
    };
    for (const Case& c : cases) {
        ValueWord r = convert_integer(&c.arg, 1);
        EXPECT_EQ(word_tag(r), c.tag) << plain(c.arg);
        EXPECT_NE(r, c.arg);
        if (c.text) {
            EXPECT_EQ(plain(r), c.text) << plain(c.arg);
        }
    }
    ValueWord zero = convert_integer(nullptr, 0);
    EXPECT_EQ(word_tag(zero), TAG_INT);
    EXPECT_EQ(plain(zero), "0");

    ValueWord two[2] = {make_int(1), make_int(2)};
    EXPECT_EQ(raised([&] { convert_integer(two, 2); }).first, "2375");
    for (ValueWord bad : {W_NULL, W_TRUE, make_array({})}) {
        EXPECT_EQ(raised([&] { convert_integer(&bad, 1); }).first, "1410");
    }
    ValueWord malformed = str(".1.2");
    EXPECT_EQ(raised([&] { convert_integer(&malformed, 1); }).first, "1405");
}

TEST_F(Text, FloatConversion) {
    struct Case {
        ValueWord arg;
        const char* text;
    };
    const Case cases[] = {
        {make_float(2.75), "2.75"}, {str("1e3"), "1000.0"}, {make_int(3), "3.0"},
        {str("-2.5"), "-2.5"},     {str("-0"), "0.0"},      {str("12abc"), "12.0"},
        {str("0x10"), "16.0"},
    };
    for (const Case& c : cases) {
        ValueWord r = convert_float(&c.arg, 1);
        EXPECT_EQ(word_tag(r), TAG_FLOAT) << c.text;
        EXPECT_NE(r, c.arg);
        EXPECT_EQ(plain(r), c.text);
    }
    EXPECT_EQ(plain(convert_float(nullptr, 0)), "0.0");
    ValueWord two[2] = {make_int(1), make_int(2)};
    EXPECT_EQ(raised([&] { convert_float(two, 2); }).first, "2380");
    ValueWord bad = W_NULL;
    EXPECT_EQ(raised([&] { convert_float(&bad, 1); }).first, "1415");
}
