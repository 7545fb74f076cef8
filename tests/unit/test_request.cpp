// Request decoding: the counted pieces, their bounds and codes, element
// values with temporary objects, and whole bodies decoded into globals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/config.h"
#include "driver/errors.h"
#include "driver/request.h"
#include "driver/run.h"
#include "eval/scope.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {
namespace {

struct RequestTest : ::testing::Test {
    void TearDown() override { SetUp(); }
    void SetUp() override {
        reset_interpreter();
    }
};

// The code of the error a call raises, or "" when it raises none.
template <typename F>
std::string code_of(F f) {
    try {
        f();
    } catch (const ScriptThrow& t) {
        return error_code_text(t.value);
    }
    return "";
}

template <typename F>
std::string message_of(F f) {
    try {
        f();
    } catch (const ScriptThrow& t) {
        std::string s = report_text(t);
        return s.substr(s.find(" : ") + 3);
    }
    return "";
}

ReqCursor cursor(const std::string& s) { return ReqCursor{s.data(), s.data() + s.size()}; }

std::string text_of(ValueWord v) { return std::string(string_text(v), string_length(v)); }

TEST_F(RequestTest, CountsAndLengths) {
    const PieceCodes codes = {1500, 1505};
    struct Case {
        const char* in;
        bool length;   // length family (with the bytes-left check)
        uint64_t value;
        const char* code;
        size_t left;   // bytes left after the piece
    } cases[] = {
        {"10", false, 0, "", 0},
        {"3123xyz", false, 123, "", 3},
        {"=1234567890123", false, 1234567890123ull, "", 0},
        {"0", false, 0, "", 0},
        {">1", false, 0, "1500", 0},       // marker past "="
        {"/", false, 0, "1500", 0},
        {"", false, 0, "1500", 0},         // nothing left
        {"31", false, 0, "1505", 0},       // fewer digits than the marker says
        {"21x", false, 0, "1505", 0},
        {"13abc", true, 3, "", 3},
        {"B3abc", true, 3, "", 3},         // "A" to "J": 0 to 9 digits
        {"A", true, 0, "", 0},
        {"14abc", true, 0, "1505", 0},     // longer than the bytes left
        {"K1", true, 0, "1500", 0},
        {":1", true, 0, "1500", 0},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        ReqCursor cur = cursor(s);
        uint64_t got = 0;
        std::string code = code_of([&] { got = c.length ? req_length(cur, codes) : req_count(cur, codes); });
        EXPECT_EQ(code, c.code) << c.in;
        if (code.empty()) {
            EXPECT_EQ(got, c.value) << c.in;
            EXPECT_EQ(static_cast<size_t>(cur.end - cur.p), c.left) << c.in;
        }
    }
}

TEST_F(RequestTest, FormatMessageNamesTheText) {
    std::string s = "Zrest";
    ReqCursor cur = cursor(s);
    EXPECT_EQ(message_of([&] { req_length(cur, PieceCodes{1540, 1545}); }), "フォーマット不正(Zrest)");
}

TEST_F(RequestTest, CountedStringsAndPercentDecoding) {
    const PieceCodes codes = {1530, 1535};
    struct Case {
        const char* in;
        bool strict;
        const char* text;
        const char* code;
    } cases[] = {
        {"16main()", false, "main()", ""},
        {"C10main%28%29", false, "main()", ""},
        {"C10main%28%29", true, "main()", ""},
        {"A", false, "", ""},
        {"10", false, "", ""},
        {"B3%e3", false, "\xe3", ""},          // either case of hexadecimal
        {"B3%zz", false, "%zz", ""},           // kept outside names
        {"B3%zz", true, "", "1510"},           // refused in names
        {"B2%4", false, "%4", ""},             // "%" at the end of the piece
        {"B2%4", true, "", "1510"},
        {"13%41", false, "%41", ""},           // plain marker: no decoding
        {"B4%41%", true, "", "1510"},
        {"N1x", false, "", "1530"},
        {"19abc", false, "", "1535"},          // longer than the bytes left
        {"2", false, "", "1535"},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        ReqCursor cur = cursor(s);
        ReqText got{nullptr, 0};
        std::string code = code_of([&] { got = req_string(cur, c.strict, codes); });
        EXPECT_EQ(code, c.code) << c.in;
        if (code.empty()) {
            EXPECT_EQ(std::string(got.text, got.len), c.text) << c.in;
        }
    }
}

TEST_F(RequestTest, ElementValues) {
    TempObjects temps{};
    struct Case {
        const char* in;
        uint32_t tag;
        const char* shown;  // text, or the number as text
        const char* code;
    } cases[] = {
        {"13abc", TAG_STRING, "abc", ""},
        {"B5a%20b", TAG_STRING, "a b", ""},
        {"P42", TAG_INT, "42", ""},
        {"N", TAG_INT, "0", ""},
        {"X2147483647", TAG_INT, "2147483647", ""},
        {"X2147483648", 0, "", "1565"},    // beyond 32 bits
        {"P4", 0, "", "1565"},
        {"b31.5", TAG_FLOAT, "1.5", ""},       // count of length digits, length, text
        {"a", TAG_FLOAT, "0", ""},
        {"b6-2.5e1", TAG_FLOAT, "-25", ""},
        {"b31.x", 0, "", "1570"},           // text not consumed completely
        {"b9", 0, "", "1565"},            // longer than the bytes left
        {"p1", 0, "", "1560"},
        {"~", 0, "", "1560"},
        {"", 0, "", "1560"},
        {"18^A000003", 0, "", "1575"},     // no temporary with that number
        {"B8^A000003", TAG_STRING, "^A000003", ""},  // encoded: a string
        {"18^A00000x", TAG_STRING, "^A00000x", ""},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        ReqCursor cur = cursor(s);
        ValueWord v = 0;
        std::string code = code_of([&] { v = req_element(cur, temps); });
        EXPECT_EQ(code, c.code) << c.in;
        if (!code.empty()) continue;
        ASSERT_EQ(word_tag(v), c.tag) << c.in;
        std::string shown;
        if (c.tag == TAG_STRING) shown = text_of(v);
        if (c.tag == TAG_INT) shown = std::to_string(cell_int(dw_cell(v)));
        if (c.tag == TAG_FLOAT) {
            char b[64];
            std::snprintf(b, sizeof b, "%g", cell_float(dw_cell(v)));
            shown = b;
        }
        EXPECT_EQ(shown, c.shown) << c.in;
        EXPECT_TRUE(cur.p == cur.end) << c.in;
    }
}

TEST_F(RequestTest, ReferencesTakeTheNewestTemporaryOnce) {
    TempObjects temps{};
    temps.numbers[0] = 3;
    temps.objects[0] = make_int(30);
    temps.numbers[1] = 5;
    temps.objects[1] = make_int(50);
    temps.numbers[2] = 3;
    temps.objects[2] = make_int(31);
    temps.count = 3;
    std::string s = "18^H00000318^A00000318^A000003";
    ReqCursor cur = cursor(s);
    EXPECT_EQ(cell_int(dw_cell(req_element(cur, temps))), 31);
    EXPECT_EQ(cell_int(dw_cell(req_element(cur, temps))), 30);
    ASSERT_EQ(temps.count, 1);
    EXPECT_EQ(temps.numbers[0], 5u);
    EXPECT_EQ(code_of([&] { req_element(cur, temps); }), "1575");
}

ValueWord global(const char* name) { return global_value(intern(name, std::strlen(name))); }

std::string decode_code(const std::string& body) {
    return code_of([&] { request_decode(body.data(), body.size()); });
}

// Field Q: seed, six bytes and token share the 1,024-byte token buffer.
// Each row is a seed and a token length around that bound; long seeds
// once let any token length pass a wrapped check and overrun the buffer.
TEST_F(RequestTest, TokenTextsFitTheBufferTogether) {
    auto counted = [](size_t n, char c) {
        std::string len = std::to_string(n);
        return std::string(1, static_cast<char>('0' + len.size())) + len + std::string(n, c);
    };
    struct Row {
        size_t seed, token;
        const char* code;
    } rows[] = {
        {1013, 5, ""},     {1013, 6, "1775"}, {1018, 0, ""},       {1018, 1, "1775"},
        {1019, 0, "1775"}, {1019, 5, "1775"}, {1023, 60000, "1775"}, {1023, 0, "1775"},
        {1024, 0, "1775"}, {0, 1018, ""},     {0, 1019, "1775"},     {500, 518, ""},
        {500, 519, "1775"},
    };
    for (const Row& r : rows) {
        reset_interpreter();
        std::string body = "Q" + counted(r.seed, 'k') + counted(r.token, '7');
        ASSERT_EQ(decode_code(body), r.code) << r.seed << "+" << r.token;
        if (*r.code) continue;
        size_t seed_len = 0, token_len = 0;
        const char* seed = request_seed(&seed_len);
        const char* token = request_token(&token_len);
        EXPECT_EQ(std::string(seed, seed_len), std::string(r.seed, 'k'));
        EXPECT_EQ(std::string(token, token_len), std::string(r.token, '7'));
    }
}

TEST_F(RequestTest, TypedFieldsBindGlobals) {
    // I: two variables in 14 bytes (the last two bytes are skipped); a "-"
    // is skipped, not a sign. D: one real. S: one encoded string.
    std::string body = "P16main()\n"
                       "I12214" "11a3-12" "11b15" "XX"
                       "D1118" "11d" "132.5"
                       "S11210" "11s" "B5a%20b"
                       "\n";
    ASSERT_EQ(decode_code(body), "");
    EXPECT_STREQ(g_run.top_call, "main()");
    EXPECT_TRUE(g_run.has_top_call);
    ASSERT_EQ(word_tag(global("a")), TAG_INT);
    EXPECT_EQ(cell_int(dw_cell(global("a"))), 12);
    EXPECT_EQ(cell_int(dw_cell(global("b"))), 5);
    ASSERT_EQ(word_tag(global("d")), TAG_FLOAT);
    EXPECT_EQ(cell_float(dw_cell(global("d"))), 2.5);
    ASSERT_EQ(word_tag(global("s")), TAG_STRING);
    EXPECT_EQ(text_of(global("s")), "a b");
}

TEST_F(RequestTest, ObjectsWithNestedTemporaries) {
    // a temporary array ^A000001 = [7], a temporary hash ^H000002 = {k: "v"},
    // then H "h" {arr: ^A000001, obj: ^H000002, n: 1} and I "sp" {5: "x"}.
    std::string objects = "a1118^A000001O7"
                          "h1118^H000002" "11k" "11v"
                          "H13" "11h" "13arr" "18^A000001" "13obj" "18^H000002" "11n" "O1"
                          "I11" "12sp" "O5" "11x";
    std::string body = "A14" + std::string(1, static_cast<char>('0' + std::to_string(objects.size()).size())) +
                       std::to_string(objects.size()) + objects;
    ASSERT_EQ(decode_code(body), "");
    ValueWord h = global("h");
    ASSERT_EQ(word_tag(h), TAG_OBJECT);
    Cell* hc = dw_cell(h);
    ASSERT_EQ(obj_count(hc), 3u);
    EXPECT_EQ(obj_cap(hc), 13u);
    const AreaWord* pairs = static_cast<const AreaWord*>(area_ptr(obj_addr(hc)));
    EXPECT_EQ(pairs[0], name_word(intern("arr", 3)));
    ValueWord arr = pairs[1];
    ASSERT_EQ(word_tag(arr), TAG_ARRAY);
    EXPECT_EQ(arr_count(dw_cell(arr)), 1u);
    EXPECT_EQ(arr_cap(dw_cell(arr)), 11u);
    EXPECT_EQ(value_nibble(arr), 1u);
    ValueWord obj = pairs[3];
    ASSERT_EQ(word_tag(obj), TAG_OBJECT);
    const AreaWord* inner = static_cast<const AreaWord*>(area_ptr(obj_addr(dw_cell(obj))));
    EXPECT_EQ(inner[0], name_word(intern("k", 1)));
    EXPECT_EQ(text_of(inner[1]), "v");
    ValueWord sp = global("sp");
    ASSERT_EQ(word_tag(sp), TAG_SPARSE);
    const AreaWord* sp_pairs = static_cast<const AreaWord*>(area_ptr(arr_addr(dw_cell(sp))));
    EXPECT_EQ(sp_pairs[0], intkey_word(5));
    EXPECT_EQ(text_of(sp_pairs[1]), "x");
}

// A one-object A field around `object`.
std::string a_field(const std::string& object) {
    return "A11" + std::string(1, static_cast<char>('0' + std::to_string(object.size()).size())) +
           std::to_string(object.size()) + object;
}

TEST_F(RequestTest, MalformedBodies) {
    struct Case {
        std::string body;
        const char* code;
    } cases[] = {
        {"Z", "1750"},
        {"P" "3256" + std::string(256, 'f'), "1740"},
        {"P" "3255" + std::string(255, 'f'), ""},
        {"E" "3256" + std::string(256, 'f'), "1745"},
        {"I1119" "11a" "3-12", "1545"},       // field length past the end
        {"I11" "16" "11a" "3-12", "1555"},     // integer cut by the field's end
        {"I11" "16" "11a" "2x1", "1555"},
        {"I11" "14" "11a" ";", "1550"},       // integer marker past ":"
        {"I11" "214" "11a" ":9999999999", "1550"},  // beyond 32 bits
        {"I11" "17" "B3%zz" "10", "1510"},    // names decode strictly
        {"I11" "14" "10" "10", "1525"},       // empty name
        {"D11" "18" "11d" "131.x", "1700"},
        {"S11" "14" "11s" "1", "1535"},
        {"S" "x", "1500"},
        {"S1x", "1505"},
        {"S11" "x", "1540"},
        {a_field("a1118^X000001O7"), "1705"},
        {a_field("a1118^A000000O7"), "1705"},
        {a_field("h1118^H00000111kO7"), ""},
        {a_field("H19" "11x" "11aO1"), "1505"},  // more entries than bytes left
        {a_field("x1111xO7"), "1750"},
        {a_field("I1112sp" "b31.5" "11x"), "1560"},  // a real cannot be a key
        {a_field("A1111x18^A000009"), "1575"},
        {"T" "2", "1505"},
        {"T" "15L", ""},
        {"T" "=9999999999999", ""},           // a work size is read, nothing reserved
        {"Q" "B3%zz" "10", "1510"},           // the seed decodes strictly
        {"Q" "14abcd" "B3%zz", ""},           // the token does not
        {"Q" "41024" + std::string(1024, 'k') + "10", "1775"},
        {"Q" "41000" + std::string(1000, 'k') + "219" + std::string(19, 't'), "1775"},
        {"Q" "41000" + std::string(1000, 'k') + "218" + std::string(18, 't'), ""},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(decode_code(c.body), c.code) << c.body.substr(0, 60);
    }
    SetUp();
    std::string many = "h";
    many += "=0000000065526";
    EXPECT_EQ(decode_code(a_field(many + "18^H000001" + std::string(65526, 'N'))), "1710");
    SetUp();
    std::string objects;
    for (int i = 1; i <= 1025; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "a1018^A%06d", i);
        objects += name;
    }
    std::string body = "A" + std::string("4") + "1025" + "5" + std::to_string(objects.size()) + objects;
    EXPECT_EQ(decode_code(body), "1710");
}

TEST_F(RequestTest, ModuleNames) {
    struct Case {
        const char* name;
        const char* code;
        uint8_t kind;
    } cases[] = {
        {"app.js", "", MODULE_JS},
        {"lib/util.JO", "", MODULE_JO},
        {"v1.2/app.Js", "", MODULE_JS},
        {"app", "1170", 0},
        {"v1.2/app", "1170", 0},
        {"app.txt", "1170", 0},
        {"app.jsx", "1175", 0},
        {"app.jx", "1175", 0},
        {"/etc/app.js", "1170", 0},
        {"../app.js", "1170", 0},
        {"lib/../../app.js", "1170", 0},
        {"lib\\..\\app.js", "1170", 0},
        {"c:app.js", "1170", 0},
        {"..app.js", "", MODULE_JS},
    };
    for (const Case& c : cases) {
        SetUp();
        std::string name = c.name;
        std::string piece = std::string(1, static_cast<char>('0' + std::to_string(name.size()).size())) +
                            std::to_string(name.size()) + name;
        std::string body = "M11" + std::string(1, static_cast<char>('0' + std::to_string(piece.size()).size())) +
                           std::to_string(piece.size()) + piece;
        EXPECT_EQ(decode_code(body), c.code) << c.name;
        if (!*c.code) {
            ASSERT_EQ(g_run.module_last, 0) << c.name;
            EXPECT_STREQ(g_run.modules[0].name, c.name);
            EXPECT_EQ(g_run.modules[0].kind, c.kind) << c.name;
        }
    }
    // A NUL byte inside a name.
    SetUp();
    std::string body("M11" "17" "15a\0.js", 12);
    EXPECT_EQ(decode_code(body), "1170");
    // Too many modules.
    SetUp();
    std::string pieces;
    for (int i = 0; i < 128; ++i) pieces += "14a.js";
    body = "M3128" "3" + std::to_string(pieces.size()) + pieces;
    EXPECT_EQ(decode_code(body), "1735");
    EXPECT_EQ(g_run.module_last, MAX_SCRIPT_MODULES - 1);
}

TEST_F(RequestTest, JournalNameAndTokenTexts) {
    std::snprintf(g_config.logfile, sizeof g_config.logfile, "logs/velt.log");
    ASSERT_EQ(decode_code("l19other.log"), "");
    EXPECT_STREQ(g_config.logfile, "logs/other.log");
    for (const char* bad : {"l15../x1", "l14.log", "l13a/b", "lB4a%20", "lA"}) {
        ASSERT_EQ(decode_code(bad), "") << bad;
        EXPECT_STREQ(g_config.logfile, "logs/other.log") << bad;
    }
    std::snprintf(g_config.logfile, sizeof g_config.logfile, "velt.log");
    ASSERT_EQ(decode_code("l19other.log"), "");
    EXPECT_STREQ(g_config.logfile, "velt.log");

    ASSERT_EQ(decode_code("Q" "C11seed%2Dtext" "15ab12x" "L"), "");
    size_t n;
    const char* seed = request_seed(&n);
    EXPECT_EQ(std::string(seed, n), "seed-text");
    const char* token = request_token(&n);
    EXPECT_EQ(std::string(token, n), "ab12x");
    EXPECT_TRUE(request_modules_from_disk());
}

TEST_F(RequestTest, ReplayList) {
    ASSERT_EQ(code_of([] { request_bind_replay_list(" a = 1 ;b=x=y;;noequals; \tc\t=\t;=v"); }), "");
    EXPECT_EQ(text_of(global("a")), "1");
    EXPECT_EQ(text_of(global("b")), "x=y");
    EXPECT_EQ(text_of(global("c")), "");
    EXPECT_EQ(global("noequals"), W_UNDEFINED);
}

}  // namespace
}  // namespace velt
