// The statement parser: node layouts of every statement, the declaration
// lists, the built-in statement forms and the parse errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "driver/errors.h"
#include "driver/run.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "tests/unit/node_print.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {
namespace {

struct StatementsTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
        module_add("t.js", 4, MODULE_JS);
        g_run.current_module = 1;
        g_parse.module = 1;
    }
    void TearDown() override {
        parser_reset(true);
        run_reset_for_tests();
    }

    // Parses a module-level text; the statements printed and joined by " | ".
    std::string parse(const std::string& src) {
        text_ = src;
        lex_begin(text_.data());
        StatementList list = {};
        struct Guard {
            StatementList* l;
            ~Guard() { statement_list_free(l); }
        } guard{&list};
        parse_statement_list(text_.data(), &list, true, false);
        std::string out;
        for (uint32_t i = 0; i < list.count; ++i) {
            if (i > 0) out += " | ";
            out += node_print(list.items[i]);
        }
        last_ = list.count ? list.items[list.count - 1] : 0;
        return out;
    }

    // The parse error of a text: "code message" (the report without its
    // "PARSE ERROR ... : " prefix), or "no error".
    std::string error_of(const std::string& src) {
        try {
            parse(src);
        } catch (const ScriptThrow& t) {
            std::string report = report_text(t);
            size_t colon = report.find(") : ");
            return std::string(error_code_text(t.value)) + " " +
                   (colon == std::string::npos ? report : report.substr(colon + 4));
        }
        return "no error";
    }

    std::string report_of(const std::string& src) {
        try {
            parse(src);
        } catch (const ScriptThrow& t) {
            return report_text(t);
        }
        return "no error";
    }

    std::string text_;
    ValueWord last_ = 0;
};

struct Layout {
    const char* src;
    const char* expected;
};

TEST_F(StatementsTest, StatementLayouts) {
    const Layout cases[] = {
        // declarations
        {"var a, b = 2;", "(141 a (123 b 2))"},
        {"let x = 1; const y = 2, z;", "(142 (123 x 1)) | (143 (123 y 2) z)"},
        // if / else, with and without `;` before else
        {"if (a) b = 1; else b = 2;", "(147 a (123 b 1) (123 b 2))"},
        {"if (a) { f(); } else if (b) g()", "(147 a (155 (160 f [])) (147 b (160 g [])))"},
        {"if (a) f(); g();", "(147 a (160 f [])) | (160 g [])"},
        {"if (a) ; else g();", "(147 a undefined (160 g []))"},
        // loops
        {"while (i < 3) i++;", "(148 (117 i 3) (101 i))"},
        {"do { i++; } while (i < 3); f();", "(149 (155 (101 i)) (117 i 3)) | (160 f [])"},
        {"do i++; while (i < 3)", "(149 (101 i) (117 i 3))"},
        {"for (i = 0, j = 1; i < n; i++, j++) f();",
         "(150 [(123 i 0) (123 j 1) ; (117 i n) ; (101 i) (101 j)] (160 f []))"},
        {"for (var i = 0; i < n;) {}", "(150 [(141 (123 i 0)) ; (117 i n) ; ] (155))"},
        {"for (; i < n; i++) {}", "(150 [ ; (117 i n) ; (101 i)] (155))"},
        // the declaration kind is a plain number word (2 var, 1 const, 0 let
        // or none), which prints like the immediates of the same value
        {"for (const k in obj) f(k);", "(152 k obj (160 f [k]) true)"},
        {"for (k of list) {}", "(151 k list (155) undefined)"},
        {"for (let k of list) {}", "(151 k list (155) undefined)"},
        {"for (var k of [1, 2]) ;", "(151 k [1 2] undefined false)"},
        // switch: statements are counted across cases; default points at
        // the statement count where it stands
        {"switch (v) { case 1: f(); break; case 'a': case 2: g(); default: h(); }",
         "(170 v {default:3 1:0 \"a\":2 2:2} [(160 f []) (156) (160 g []) (160 h [])] 1)"},
        // a statement with its own sub-statement ends its item inside a case
        {"switch (v) { case 1: if (a) { x(); } case 2: y(); }",
         "(170 v {default:0 1:0 2:1} [(147 a (155 (160 x []))) (160 y [])] 0)"},
        {"switch (v) { case 1: return x; case 2: var q = 1; }",
         "(170 v {default:0 1:0 2:1} [(158 x) (141 (123 q 1))] 0)"},
        // try
        {"try { f(); } catch (e) { g(e); }", "(153 (155 (160 f [])) {e (155 (160 g [e]))})"},
        {"try { } finally { }", "(153 (155) 0 (155))"},
        {"try {} catch (e) {} finally { h(); }", "(153 (155) {e (155)} (155 (160 h [])))"},
        // jumps, throw, return
        {"throw x;", "(154 x)"},
        {"return;", "(158)"},
        {"return a + 1;", "(158 (118 a 1))"},
        {"break; continue ;", "(156) | (157)"},
        // blocks
        {"{ a; { b; } }", "(155 a (155 b))"},
        {"{}", "(155)"},
        // functions: parameters (names or defaults) then `var` locals; `let`
        // names are no locals; a var declared twice counts once
        {"function f(a, b = 2) { var x; let y; var x; return a; }",
         "(123 f <function (a (123 b 2))(x) (155 (141 x) (142 y) (141 x) (158 a))>)"},
        {"function outer() { var a; function inner() { var b; } var c; }",
         "(123 outer <function ()(a inner c) (155 (141 a) (123 inner <function ()(b) (155 (141 b))>) (141 c))>)"},
        {"x = function (p) { return p; };", "(123 x <function (p)() (155 (158 p))>)"},
        {"function z() {} z();", "(123 z <function (155)>) | (160 z [])"},
        // built-in statement forms, as statements and as values
        {"select(a, b);", "(162 a b)"},
        {"x = selectInto(a, b, c, d, e);", "(123 x (181 a b c d e))"},
        {"selectExists(a, b); selectHash(a, b);", "(168 a b) | (163 a b)"},
        {"selectToFront(a, b, c); selectHashToFront(a, b, c);", "(164 a b c) | (165 a b c)"},
        {"record_map(a, b, c); record_hash(a, b); record_hash(a, b, c);", "(192 a b c) | (193 a b) | (193 a b c)"},
        {"sql_aggregate(a, b, c); sql_aggregate(a, b, c, d);", "(194 a b c) | (194 a b c d)"},
        {"execute(c, s); execute(c, s, b); openDb(u, p, d); closeDb(c); closeDb(c, 1);",
         "(166 c s) | (166 c s b) | (167 u p d) | (180 c) | (180 c 1)"},
        {"parseInt(); parseInt(s); parseInt(s, 16); parseFloat(s);", "(178) | (178 s) | (178 s 16) | (177 s)"},
        {"eval(t); decodeURI(u); decodeURIComponent(u); encodeURI(u); encodeURIComponent(u);",
         "(179 t) | (173 u) | (174 u) | (175 u) | (176 u)"},
        {"sendToFront('s'); sendToFront(x); sendToFront(1, 2); alertToFront(m);",
         "(169 \"s\") | (169 x) | (169 1 2) | (191 m)"},
        {"n = parseInt(s) + 1;", "(123 n (118 (178 s) 1))"},
        {"parseInt(s) + 1;", "(118 (178 s) 1)"},
        // reserved words need a word boundary
        {"select1 = 2; do1 = 1; for2 = 3; eval2 = 4;", "(123 select1 2) | (123 do1 1) | (123 for2 3) | (123 eval2 4)"},
        // empty statements add nothing
        {";;  ; a;", "a"},
    };
    for (const Layout& c : cases) {
        EXPECT_EQ(parse(c.src), c.expected) << c.src;
        parser_reset(true);
    }
}

TEST_F(StatementsTest, ForCountsWordHoldsInitAndUpdateCounts) {
    parse("for (a = 1, b = 2, c = 3; a; a++) {}");
    uint32_t n = 0;
    ValueWord* ops = node_operands(last_, &n);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(ops[1], (3u << 16) | 1u);
    ASSERT_NE(ops[0], 0u);  // the expression array is never at address 0
}

TEST_F(StatementsTest, NodeFlagsAndPositions) {
    parse("\n  var a;\n{ b; }");
    // The last statement is the block: no stop point.
    Cell* block = dw_cell(last_);
    EXPECT_EQ(block->b1, 0x80 | 1);
    EXPECT_EQ(pos_line(block->d12), 3u);
    EXPECT_EQ(pos_column(block->d12), 1u);
    parse("\n  var a;");
    Cell* var = dw_cell(last_);
    EXPECT_EQ(var->b1, 1);  // stop point, module 1
    EXPECT_EQ(pos_line(var->d12), 2u);
    EXPECT_EQ(pos_column(var->d12), 3u);
    // Evaluation texts: every node no-stop.
    text_ = "var q;";
    lex_begin(text_.data());
    StatementList list = {};
    parse_statement_list(text_.data(), &list, true, true);
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(dw_cell(list.items[0])->b1, 0x80 | 1);
    EXPECT_FALSE(g_parse.no_stop);
    statement_list_free(&list);
}

TEST_F(StatementsTest, FunctionValueFields) {
    parse("\nfunction g(a) {\n  var v;\n  return a;\n}\n");
    Cell* assign = dw_cell(last_);
    ASSERT_EQ(node_op(assign), 123u);
    ValueWord fw = assign->d8;
    ASSERT_EQ(word_tag(fw), static_cast<uint32_t>(TAG_FUNCTION));
    Cell* fn = dw_cell(fw);
    EXPECT_EQ(fn->b1, 1);  // module
    EXPECT_EQ(fn->b2, 1);  // parameters
    EXPECT_EQ(fn->b3, 1);  // locals
    EXPECT_EQ(fn_first_line(fn), 2u);
    EXPECT_EQ(fn_last_line(fn), 5u);
    EXPECT_TRUE(g_parse.ended_with_function);
    // The name is a global var; the body's var is not.
    uint32_t g = intern("g", 1), v = intern("v", 1);
    bool has_g = false, has_v = false;
    for (uint32_t i = 0; i < g_global_vars.count; ++i) {
        has_g |= g_global_vars.names[i] == g;
        has_v |= g_global_vars.names[i] == v;
    }
    EXPECT_TRUE(has_g);
    EXPECT_FALSE(has_v);
    EXPECT_EQ(g_function_vars.count, 0u);
    // Without parameters and locals the name block is 0.
    parse("function h() {}");
    EXPECT_EQ(fn_names(dw_cell(dw_cell(last_)->d8)), 0u);
}

TEST_F(StatementsTest, BlockOf300StatementsUsesThe255Form) {
    std::string src = "{";
    for (int i = 0; i < 300; ++i) src += " a;";
    src += " }";
    parse(src);
    Cell* c = dw_cell(last_);
    EXPECT_EQ(node_op(c), 155u);
    EXPECT_EQ(node_count(c), 255u);
    EXPECT_EQ(c->d12, 300u);
    uint32_t n = 0;
    node_operands(c, &n);
    EXPECT_EQ(n, 300u);
}

TEST_F(StatementsTest, DeclarationLists) {
    const struct {
        const char* src;
        const char* result;
    } cases[] = {
        {"var x; var x;", "no error"},
        {"{ let x; } { let x; }", "no error"},
        {"{ let x; } let x;", "no error"},
        {"let x; { let x; }", "no error"},
        // each for loop is its own scope
        {"for (let i = 0; i < 2; i++) {} for (let i = 0; i < 2; i++) {}", "no error"},
        {"function f() { var a; } let a;", "no error"},
        {"let x; let x;", "1035 'let'内で変数名の重複 'let x;'"},
        {"var a; let a;", "1035 'let'内で変数名の重複 'let a;'"},
        {"{ let x; const x = 1; }", "1035 'const'内で変数名の重複 'const x = 1; '"},
        {"let a, a;", "1035 'let'内で変数名の重複 'let a, a;'"},
        {"function f() {} const f = 1;", "1035 'const'内で変数名の重複 'const f = 1;'"},
        {"switch (v) { case 1: let q = 1; break; case 2: let q = 2; }",
         "1035 'let'内で変数名の重複 'let q = 2; '"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of(c.src), c.result) << c.src;
        parser_reset(true);
    }
}

TEST_F(StatementsTest, ParseErrors) {
    const struct {
        const char* src;
        const char* result;
    } cases[] = {
        {"a, b;", "1000 ステートメント不正 'a, b;'"},
        {"var ;", "1025 フォーマット不正 'var ;'"},
        {"var 1;", "1025 フォーマット不正 'var 1;'"},
        {"var a.b;", "1025 フォーマット不正 'var a.b;'"},
        {"let 3;", "1030 フォーマット不正 'let' in 'let 3;'"},
        {"const;", "1030 フォーマット不正 'const' in 'const;'"},
        {"function Math() {}", "1040 関数名不正 'Math() {}'"},
        {"function new() {}", "1040 関数名不正 'new() {}'"},
        {"function f(a + 1) {}", "1050 フォーマット不正 'function f(a + 1) {}'"},
        {"function f(a) x;", "1050 フォーマット不正 'function f(a) x;'"},
        {"function f(a {}", "1050 フォーマット不正 'function f(a {}'"},
        {"if a) b;", "1075 ステートメント不正 'if a) b;"},
        {"if (a, b) c;", "1075 ステートメント不正 'if (a, b) c;"},
        {"if (a; b) c;", "1075 ステートメント不正 'if (a; b) c;"},
        {"while (a b", "1080 ステートメント不正 'while (a b"},
        {"while (a, b) c;", "1080 ステートメント不正 'while (a, b) c;"},
        {"do x++; until (a);", "1085 ステートメント不正 'do  until (a);"},
        {"do x++; while a;", "1085 ステートメント不正 'do ... while a;"},
        {"for (;;) {}", "1090 ステートメント不正 'for (;;) {}'"},
        {"for (x in) {}", "1090 ステートメント不正 'for (x in) {}'"},
        {"for (x to y) {}", "1090 ステートメント不正 'for (x to y) {}'"},
        {"for (i = 0; i < 1, 2; i++) {}", "1090 ステートメント不正 'for (i = 0; i < 1, 2; i++) {}'"},
        {"for x of y {}", "1090 ステートメント不正 'for x of y {}'"},
        {"try f();", "1095 ステートメント不正 in 'try f();'"},
        {"try {} catch e {}", "1095 ステートメント不正 in 'try ... catch e {}'"},
        {"try {} catch (1) {}", "1095 ステートメント不正 in 'try ... catch (1) {}'"},
        {"try {} catch (e) x;", "1095 ステートメント不正 in 'try ... catch x;'"},
        {"try {} finally x;", "1095 ステートメント不正 in 'try ... finally x;'"},
        {"try {} x;", "1095 ステートメント不正 in 'try ...  x;'"},
        {"throw;", "1100 ステートメント不正 'throw;'"},
        {"throw a, b;", "1100 ステートメント不正 'throw a, b;'"},
        {"break lbl;", "1105 ステートメント不正 'break lbl;'"},
        {"continue x;", "1110 ステートメント不正 'continue x;'"},
        {"return a, b;", "1115 ステートメント不正 'return a, b;'"},
        {"{ a;", "1145 ステートメント不正 '{  a;'"},
        {"switch (v) { default: f(); }", "1155 ステートメント不正 'switch (v) { default: f(); }'"},
        {"switch (v) { case 1: }", "1155 ステートメント不正 'switch (v) { case 1: }'"},
        {"switch (v) { case undefined: f(); }", "1160 ステートメント不正 'switch (v) { case undefined: f(); }'"},
        {"switch v { case 1: f(); }", "1160 ステートメント不正 'switch v { case 1: f(); }'"},
        {"switch (v) { case 1 f(); }", "1160 ステートメント不正 'switch (v) { case 1 f(); }'"},
        {"switch (v) { case 1: f(); default: g(); default: h(); }",
         "1160 ステートメント不正 'switch (v) { case 1: f(); default: g(); default: h(); }'"},
        // built-in statement forms
        {"select(a);", "1210 ステートメント不正(引数の数) 'select(a);'"},
        {"select;", "1210 ステートメント不正(引数の数) 'select;'"},
        {"selectInto(a, b);", "1210 ステートメント不正(引数の数) 'selectInto(a, b);'"},
        {"sql_aggregate(a, b, c, d, e);", "1210 ステートメント不正(引数の数) 'sql_aggregate(a, b, c, d, e);'"},
        {"openDb(a, b);", "1210 ステートメント不正(引数の数) 'openDb(a, b);'"},
        {"x = select(a);", "1210 ステートメント不正(引数の数) 'select(a);'"},
        {"eval;", "1215 ステートメント不正 'eval;'"},
        {"eval(a, b);", "1220 引数の個数不正 'eval(a, b);'"},
        {"parseFloat();", "1220 引数の個数不正 'parseFloat();'"},
        {"parseInt(a, b, c);", "1225 ステートメント不正 'parseInt(a, b, c);'"},
        {"parseInt;", "1225 ステートメント不正 'parseInt;'"},
        {"sendToFront(1);", "1230 ステートメント不正 'sendToFront(1);'"},
        {"sendToFront(a, b, c);", "1230 ステートメント不正 'sendToFront(a, b, c);'"},
        {"sendToFront;", "1230 ステートメント不正 'sendToFront;'"},
        {"alertToFront();", "1235 ステートメント不正 'alertToFront();'"},
        {"alertToFront(a, b);", "1235 ステートメント不正 'alertToFront(a, b);'"},
        // the reserved redis_ and mongo_ words
        {"redis_get(k);", "1211 ステートメント不正 'redis_get(k);'"},
        {"redis_linsert(a, b);", "1211 ステートメント不正 'redis_linsert(a, b);'"},
        {"mongo_find(a);", "1211 ステートメント不正 'mongo_find(a);'"},
        {"x = mongoc_write_command(a);", "1211 ステートメント不正 'mongoc_write_command(a);'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of(c.src), c.result) << c.src;
        parser_reset(true);
    }
}

TEST_F(StatementsTest, OperandCountsThatWouldReach255) {
    std::string vars = "var v0";
    for (int i = 1; i < 255; ++i) vars += ", v" + std::to_string(i);
    EXPECT_EQ(error_of(vars + ";").substr(0, 5), "1123 ");
    parser_reset(true);
    std::string ok = "var v0";
    for (int i = 1; i < 254; ++i) ok += ", v" + std::to_string(i);
    EXPECT_EQ(error_of(ok + ";"), "no error");
    parser_reset(true);
    std::string args = "selectInto(a0";
    for (int i = 1; i < 255; ++i) args += ", a" + std::to_string(i);
    EXPECT_EQ(error_of(args + ");").substr(0, 5), "1123 ");
}

TEST_F(StatementsTest, FunctionWithMoreThan255LocalsFails) {
    std::string body = "function f() {";
    for (int i = 0; i < 256; ++i) body += " var l" + std::to_string(i) + ";";
    EXPECT_EQ(error_of(body + " }").substr(0, 5), "1050 ");
    parser_reset(true);
    body = "function f() {";
    for (int i = 0; i < 255; ++i) body += " var l" + std::to_string(i) + ";";
    EXPECT_EQ(error_of(body + " }"), "no error");
    EXPECT_EQ(dw_cell(dw_cell(last_)->d8)->b3, 255);
}

TEST_F(StatementsTest, SwitchCaseLimit) {
    std::string src = "switch (v) {";
    for (int i = 0; i < 1022; ++i) src += " case " + std::to_string(i) + ":";
    EXPECT_EQ(error_of(src + " f(); }"), "no error");
    parser_reset(true);
    EXPECT_EQ(error_of(src + " case 1022: f(); }").substr(0, 5), "1150 ");
}

TEST_F(StatementsTest, ErrorsCarryTheLineOfTheFailure) {
    EXPECT_EQ(report_of("a;\n\nvar ;"), "PARSE ERROR 1025 (t.js:3) : フォーマット不正 'var ;'");
    parser_reset(true);
    // A failed text leaves no open scope behind.
    EXPECT_NE(error_of("function f() { { let x; var ; } }"), "no error");
    EXPECT_EQ(g_parse.block_depth, 0);
    EXPECT_EQ(g_parse.function_depth, 0);
    EXPECT_EQ(g_block_names.count, 0u);
}

}  // namespace
}  // namespace velt
