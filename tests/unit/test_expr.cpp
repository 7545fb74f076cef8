#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/errors.h"
#include "driver/journal.h"
#include "driver/run.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "tests/unit/node_print.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

using namespace velt;

namespace {

struct ExprTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
        use_module("expr.js");
        g_parse.module = g_run.current_module;
        regexp_literal_hook = nullptr;
    }
    void TearDown() override { regexp_literal_hook = nullptr; }

    std::vector<char> buf;
    char* text(const std::string& s) {
        buf.assign(s.begin(), s.end());
        buf.push_back('\0');
        lex_begin(buf.data());
        return buf.data();
    }
    // The items of an expression list, printed and joined by " | ".
    std::string items(const std::string& src, int limit = 256) {
        static ValueWord words[2048];
        int count = 0;
        read_expression_list(text(src), words, limit, &count, false);
        std::string out;
        for (int i = 0; i < count; ++i) {
            if (i > 0) out += " | ";
            out += node_print(words[i]);
        }
        return out;
    }
};

std::string repeat(const std::string& piece, const std::string& sep, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i > 0) s += sep;
        s += piece;
    }
    return s;
}

}  // namespace

TEST_F(ExprTest, Grouping) {
    struct Case {
        const char* src;
        const char* printed;
    };
    const Case cases[] = {
        {"a.b.c(d)[e]", "(144 (160 (145 (145 a b) c) [d]) e)"},
        {"x = y = 3", "(123 x (123 y 3))"},
        {"2 ** 3 ** 2", "(161 2 (161 3 2))"},
        {"c ? 1 : d ? 2 : 3", "(139 c 1 (139 d 2 3))"},
        {"a ? b ? c : d : e", "(139 a (139 b c d) e)"},
        {"x = c ? 1 : 2", "(123 x (139 c 1 2))"},
        {"a < b == c < d", "(110 (117 a b) (117 c d))"},
        {"a >= b > c", "(115 (114 a b) c)"},
        {"a != b === c", "(111 (112 a b) c)"},
        {"a << 2 >> 1 >>> 3", "(138 (137 (136 a 2) 1) 3)"},
        // Mixed operators of one level group from left to right; a run of
        // one operator is one node.
        {"a - b + c", "(118 (119 a b) c)"},
        {"a / b * c", "(120 (121 a b) c)"},
        {"a * b / c", "(121 (120 a b) c)"},
        {"a + b + c - d", "(119 (118 a b c) d)"},
        {"a - b - c", "(119 a b c)"},
        {"a % b * c / d", "(121 (120 (122 a b) c) d)"},
        {"a + b * c - d", "(119 (118 a (120 b c)) d)"},
        {"a + b * c * d", "(118 a (120 b c d))"},
        {"a && b || c && d", "(109 (108 a b) (108 c d))"},
        {"a || b || c", "(109 a b c)"},
        {"a & b & c | d ^ e", "(133 (132 a b c) (134 d e))"},
        {"a = b || c", "(123 a (109 b c))"},
        {"a += b -= 2", "(124 a (125 b 2))"},
        {"(a + b) * c", "(120 (159 (118 a b)) c)"},
        {"f(a)(b)", "(160 (160 f [a]) [b])"},
        {"a.b(c).d", "(145 (160 (145 a b) [c]) d)"},
        {"a[b][c]", "(144 (144 a b) c)"},
        {"a[b + 1] = c", "(123 (144 a (118 b 1)) c)"},
        {"obj.select", "(145 obj select)"},
        {"obj . if", "(145 obj if)"},
        {"x instanceof Array", "(106 x Array)"},
        {"a < b instanceof C", "(106 (117 a b) C)"},
    };
    for (const Case& c : cases) EXPECT_EQ(items(c.src), c.printed) << c.src;
}

TEST_F(ExprTest, UnaryForms) {
    struct Case {
        const char* src;
        const char* printed;
    };
    const Case cases[] = {
        {"i++", "(101 i)"},
        {"i--", "(102 i)"},
        {"++i", "(103 i)"},
        {"--i", "(104 i)"},
        {"a + ++b", "(118 a (103 b))"},
        {"a.b++", "(101 (145 a b))"},
        {"!x", "(107 x)"},
        {"~x", "(135 x)"},
        {"!!x", "(107 (107 x))"},
        {"!typeof x", "(107 (105 x))"},
        {"-~x", "(119 0 (135 x))"},
        {"typeof a.b", "(105 (145 a b))"},
        {"typeof x == 'string'", "(110 (105 x) \"string\")"},
        {"!a == b", "(110 (107 a) b)"},
        {"!f(x)", "(107 (160 f [x]))"},
        {"-5", "-5"},
        {"+7", "7"},
        {"x * -5", "(120 x -5)"},
        {"x -5", "(119 x 5)"},
        {"x - -y", "(119 x (119 0 y))"},
        {"-x * 2", "(120 (119 0 x) 2)"},
        {"a = -1.5", "(123 a -1.5f)"},
        {"f(-1)", "(160 f [-1])"},
    };
    for (const Case& c : cases) EXPECT_EQ(items(c.src), c.printed) << c.src;
}

TEST_F(ExprTest, CallsNewAndBuiltins) {
    struct Case {
        const char* src;
        const char* printed;
    };
    const Case cases[] = {
        {"f()", "(160 f [])"},
        {"f(1, 'a', [2, 3], {k: 4})", "(160 f [1 \"a\" [2 3] {k: 4}])"},
        {"f(a, (b, c))", "(160 f [a (159 b c)])"},
        {"new Foo(1, 2)", "(183 Foo [1 2])"},
        {"new Hash()", "(183 Hash [])"},
        {"new Date", "(183 Date [])"},
        {"new Foo(1).bar", "(145 (183 Foo [1]) bar)"},
        {"x = new Error('e')", "(123 x (183 Error [\"e\"]))"},
        {"new Date(1, 2, 3, 4, 5, 6, 7)", "(183 Date [1 2 3 4 5 6 7])"},
        {"Integer(x)", "(186 x)"},
        {"Float", "(187)"},
        {"Float + 1", "(118 (187) 1)"},
        {"Error('m', 2)", "(188 \"m\" 2)"},
        {"RegExp('a')", "(182 \"a\")"},
        {"Array(1, 2, 3)", "(189 1 2 3)"},
        {"Array()", "(189)"},
        {"Exception('e')", "(184 \"e\")"},
        {"Number(x)", "(160 Number [x])"},
        {"String(1)", "(160 String [1])"},
        {"(a, b)", "(159 a b)"},
        {"()", "(159)"},
        {"a, b", "a | b"},
        {"a; b", "a"},
    };
    for (const Case& c : cases) EXPECT_EQ(items(c.src), c.printed) << c.src;
}

TEST_F(ExprTest, Literals) {
    struct Case {
        const char* src;
        const char* printed;
    };
    const Case cases[] = {
        {"42", "42"},
        {"0x10 + 1.5", "(118 16 1.5f)"},
        {"2147483647", "2147483647"},
        {"2147483648", "2147483648.0f"},
        {"-2147483648", "-2147483648"},
        {"4294967296", "4294967296.0f"},
        {".25", "0.25f"},
        {"'it\\'s'", "\"it's\""},
        {"\"a\\tb\"", "\"a\tb\""},
        {"`a${b}\\n`", "`a${b}\\n`"},
        {"[1, 2, 3]", "[1 2 3]"},
        {"[]", "[]"},
        {"[ ]", "[]"},
        {"[1, [2, 3],]", "[1 [2 3]]"},
        {"[a + 1, f(x), -2]", "[(118 a 1) (160 f [x]) -2]"},
        {"[{a: [1]}]", "[{a: [1]}]"},
        {"{}", "{}"},
        {"{a: 1, 'b c': [x], d: {e: 2},}", "{a: 1, b c: [x], d: {e: 2}}"},
        {"{a: 1, a: 2}", "{a: 1, a: 2}"},
        {"{select: 1, \"if\": x ? 1 : 2}", "{select: 1, if: (139 x 1 2)}"},
        {"{k: 'a,b', l: \"}\"}", "{k: \"a,b\", l: \"}\"}"},
        {"true", "true"},
        {"null", "null"},
    };
    for (const Case& c : cases) EXPECT_EQ(items(c.src), c.printed) << c.src;

    ValueWord w[4];
    int n = 0;
    read_expression_list(text("[1, 2, 3]"), w, 4, &n, false);
    ASSERT_EQ(n, 1);
    ASSERT_EQ(word_tag(w[0]), TAG_ARRAY);
    EXPECT_EQ(arr_count(dw_cell(w[0])), 3u);
    EXPECT_EQ(arr_cap(dw_cell(w[0])), 13u);
    read_expression_list(text("{a: 1, b: 2}"), w, 4, &n, false);
    ASSERT_EQ(word_tag(w[0]), TAG_OBJECT);
    EXPECT_EQ(obj_count(dw_cell(w[0])), 2u);
    EXPECT_EQ(obj_cap(dw_cell(w[0])), 12u);
    EXPECT_EQ(obj_class(dw_cell(w[0])), 0u);
}

TEST_F(ExprTest, NodesCarryPositionsCountsAndRetainOperands) {
    ValueWord w[4];
    int n = 0;
    read_expression_list(text("\n  a + b\n  * 3"), w, 4, &n, false);
    ASSERT_EQ(n, 1);
    Cell* add = dw_cell(w[0]);
    EXPECT_EQ(node_op(add), 118u);
    EXPECT_EQ(node_count(add), 2u);
    EXPECT_EQ(add->d12, make_pos(2, 5));
    EXPECT_EQ(node_module(add), g_run.current_module);
    uint32_t count = 0;
    AreaWord* ops = node_operands(add, &count);
    ASSERT_EQ(count, 2u);
    Cell* mul = dw_cell(ops[1]);
    EXPECT_EQ(node_op(mul), 120u);
    EXPECT_EQ(mul->d12, make_pos(3, 3));
    EXPECT_EQ(value_nibble(ops[1]), 1u);
    EXPECT_EQ(g_run.current_line, 3u);

    // Three operands go to a separate block; items are retained on request.
    read_expression_list(text("a ? 'x' : 2"), w, 4, &n, true);
    Cell* cond = dw_cell(w[0]);
    EXPECT_EQ(node_count(cond), 3u);
    EXPECT_EQ(value_nibble(w[0]), 1u);
    ops = node_operands(cond, &count);
    EXPECT_EQ(node_print(ops[1]), "\"x\"");
    EXPECT_EQ(value_nibble(ops[1]), 1u);

    // The block form: 255 or more operands for a block node only.
    std::vector<ValueWord> many(300, name_word(N_THIS));
    ValueWord block = make_node(OP_BLOCK, many.data(), 300, make_pos(1, 1), "");
    EXPECT_EQ(node_count(dw_cell(block)), 255u);
    node_operands(block, &count);
    EXPECT_EQ(count, 300u);
}

TEST_F(ExprTest, OperandLimits) {
    // An n-ary chain of 254 operands is one node; 255 fail with 1123.
    std::string sum = repeat("a", "+", 254);
    EXPECT_EQ(items(sum).substr(0, 9), "(118 a a ");
    Failure f = failure_of([&] { items(repeat("a", "+", 255)); });
    EXPECT_EQ(f.code, "1123");
    // A call takes 255 arguments in its argument array; a built-in node not.
    std::string args = repeat("1", ",", 255);
    EXPECT_EQ(items("f(" + args + ")").substr(0, 12), "(160 f [1 1 ");
    f = failure_of([&] { items("Array(" + args + ")"); });
    EXPECT_EQ(f.code, "1123");
    f = failure_of([&] { items("f(" + args + ",1)"); });
    EXPECT_EQ(f.code, "1123");
    // The list limit: at most limit - 1 items.
    EXPECT_EQ(items("a, b, c", 4), "a | b | c");
    f = failure_of([&] { items("a, b, c", 3); });
    EXPECT_EQ(f.code, "1123");
    EXPECT_EQ(f.message, "PARSE ERROR 1123 (expr.js:1) : 引数の数不正 'a, b, c'");
    // The token row: 1023 slots are read, the 1024th fails with 1120.
    EXPECT_EQ(items(repeat("a", ",", 512), 1024).size(), 512u * 4 - 3);
    f = failure_of([&] { items(repeat("a", ",", 513), 1024); });
    EXPECT_EQ(f.code, "1120");
}

TEST_F(ExprTest, ParseErrors) {
    struct Case {
        const char* src;
        const char* code;
        const char* message;  // after the "PARSE ERROR ... : " prefix
        int line;
    };
    const Case cases[] = {
        {"a +", "1125", "フォーマット不正 'a +'", 1},
        {"a + * b", "1125", "フォーマット不正 'a + * b'", 1},
        {"a ? b", "1125", "フォーマット不正 'a ? b'", 1},
        {"a : b", "1125", "フォーマット不正 'a : b'", 1},
        {"f(,)", "1125", "フォーマット不正 ','", 1},
        {"-x + +", "1125", "フォーマット不正 '-x + +'", 1},
        {"a +\n\n b +", "1125", "フォーマット不正 'a +'", 3},
        {"f(a", "1130", "ステートメント不正 (')'なし) (a", 1},
        {"a[1", "1130", "ステートメント不正 (']'なし) [1", 1},
        {"f(a; b)", "1135", "ステートメント不正 ('b') in (a; b", 1},
        {"a[1, 2]", "1015", "ステートメント不正(a[1, 2])", 1},
        {"a[]", "1015", "ステートメント不正(a[])", 1},
        {"Array.isArray(v)", "1015", "ステートメント不正(Array.isArray(v))", 1},
        {"new 5", "1015", "ステートメント不正(new 5)", 1},
        {"new Foo.bar()", "1015", "ステートメント不正(new Foo.bar())", 1},
        {"x instanceof 5", "1015", "ステートメント不正(x instanceof 5)", 1},
        {"a.5", "1015", "ステートメント不正(a.5)", 1},
        {"a # b", "1015", "ステートメント不正(a # b)", 1},
        {"a\n @", "1015", "ステートメント不正(a)", 2},
        {"new Date(1, 2, 3, 4, 5, 6, 7, 8)", "1020", "引数の個数不正 'new Date(1, 2, 3, 4, 5, 6, 7, 8)'", 1},
        {"new Error", "1020", "引数の個数不正 'new Error'", 1},
        {"Error()", "1020", "引数の個数不正 'Error()'", 1},
        {"Integer(1, 2)", "1020", "引数の個数不正 'Integer(1, 2)'", 1},
        {"x = Exception", "1020", "引数の個数不正 'x = Exception'", 1},
        {"new Number(1, 2)", "1020", "引数の個数不正 'new Number(1, 2)'", 1},
        {"[1, 2", "1070", "JSON文字列フォーマット不正 '1, 2'", 1},
        {"[1, , 2]", "1070", "JSON文字列フォーマット不正 ', 2'", 1},
        {"[1 2]", "1070", "JSON文字列フォーマット不正 '1 2'", 1},
        {"[1; 2]", "1055", "JSON文字列不正 ';'", 1},
        {"[a +]", "1065", "JSON文字列フォーマット不正 'a +'", 1},
        {"{1: 2}", "1140", "文字列のフォーマット不正 '1: 2'", 1},
        {"{a 2}", "1140", "文字列のフォーマット不正 'a 2'", 1},
        {"{a: }", "1140", "文字列のフォーマット不正 'a: '", 1},
        {"{a: 1 2}", "1140", "文字列のフォーマット不正 'a: 1 2'", 1},
        {"{a: 1", "1142", "JSON文字列のフォーマット不正 'a: 1'", 1},
        {"'abc", "1010", "JSON文字列不正", 1},
        {"x = /ab", "4805", "正規表現のフォーマット不正 (/)", 1},
        {"x = /ab/g", "1015", "ステートメント不正(x = /ab/g)", 1},
        {"x = 1e+ 2", "1405", "数字のフォーマット不正 '1e+ 2'", 1},
        {"1..2", "1015", "ステートメント不正(1..2)", 1},
    };
    for (const Case& c : cases) {
        Failure f = failure_of([&] { items(c.src); });
        EXPECT_EQ(f.code, c.code) << c.src;
        std::string expected = std::string("PARSE ERROR ") + c.code + " (expr.js:" + std::to_string(c.line) +
                               ") : " + c.message;
        EXPECT_EQ(f.message, expected) << c.src;
    }
}

TEST_F(ExprTest, RegexpLiteralsGoToTheCompileHook) {
    static std::string seen;
    regexp_literal_hook = [](const char* pattern, size_t len, const char* flags, size_t flags_len) -> ValueWord {
        seen = std::string(pattern, len) + "|" + std::string(flags, flags_len);
        return make_string("re", 2);
    };
    EXPECT_EQ(items("x = /a\\/b[c]/gi.test(s)"), "(123 x (160 (145 \"re\" test) [s]))");
    EXPECT_EQ(seen, "a\\/b[c]|gi");
    EXPECT_EQ(items("a / b / c"), "(121 a b c)");
    EXPECT_EQ(items("f(/x/)"), "(160 f [\"re\"])");
    EXPECT_EQ(seen, "x|");
}

TEST_F(ExprTest, CallArgumentsOfBuiltinForms) {
    ValueWord args[8];
    int n = 0;
    char* p = text("(a, b + 1) rest");
    char* after = read_call_arguments(p, args, 8, &n, p);
    EXPECT_STREQ(after, " rest");
    ASSERT_EQ(n, 2);
    EXPECT_EQ(node_print(args[1]), "(118 b 1)");
    EXPECT_EQ(std::string(p), "(a, b + 1) rest");  // the closing bracket is put back

    p = text("select(a b c)");
    Failure f = failure_of([&] { read_call_arguments(p + 6, args, 3, &n, p); });
    EXPECT_EQ(f.code, "1123");
    p = text("select(a; b)");
    f = failure_of([&] { read_call_arguments(p + 6, args, 8, &n, p); });
    EXPECT_EQ(f.message, "PARSE ERROR 1135 (expr.js:1) : ステートメント不正 ('b') in (a; b");
}

TEST_F(ExprTest, JsonElements) {
    ValueWord w[21];
    int n = 0;
    char* p = text("a + 1, b");
    char* after = read_json_element(p, w, &n);
    EXPECT_STREQ(after, " b");
    ASSERT_EQ(n, 1);
    EXPECT_EQ(node_print(w[0]), "(118 a 1)");
    after = read_json_element(text("f(x, y)"), w, &n);
    EXPECT_EQ(*after, '\0');
    EXPECT_EQ(node_print(w[0]), "(160 f [x y])");
}

TEST_F(ExprTest, ReservedWordsAtOperandPositionRunTheirHandlers) {
    EXPECT_EQ(items("x = parseInt(s) + 1"), "(123 x (118 (178 s) 1))");
    EXPECT_EQ(items("f(function () {}, 2)"), "(160 f [<function (155)> 2])");
    EXPECT_TRUE(g_parse.function_ended);
    EXPECT_EQ(items("[function () {}, 1]"), "[<function (155)> 1]");
    EXPECT_EQ(items("a.map(function (v) { return v; }).join()"),
              "(160 (145 (160 (145 a map) [<function (v)() (155 (158 v))>]) join) [])");
    EXPECT_FALSE(items("x = 1").empty());
    EXPECT_FALSE(g_parse.function_ended);

    // At statement level the list ends behind a function literal.
    ValueWord w[8];
    int n = 0;
    char* p = text("f = function () {}\ng()");
    char* after = read_expression_list(p, w, 8, &n, false);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(node_print(w[0]), "(123 f <function (155)>)");
    EXPECT_STREQ(after, "\ng()");
    EXPECT_TRUE(g_parse.function_ended);
}
