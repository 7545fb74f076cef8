// The evaluation core and the operators, run on parsed script text: each
// case evaluates a module-level text and compares the display form of the
// last statement's value (strings quoted) or the error code it raises.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <string>

#include "driver/errors.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "eval/operators.h"
#include "eval/scope.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {
namespace {

struct EvalTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
        module_add("t.js", 4, MODULE_JS);
        g_run.current_module = 1;
        g_parse.module = 1;
        set_managed_mode();
        g_run.run_started = true;
        g_create_mode = false;
        clear_location();
    }
    void TearDown() override {
        parser_reset(true);
        scope_reset();
        run_reset_for_tests();
    }

    // Evaluates the statements of src in order; the display form of the
    // last value, or "ERROR <code>".
    std::string run(const std::string& src) {
        texts_.push_back(src);
        std::string& text = texts_.back();
        lex_begin(text.data());
        StatementList list = {};
        parse_statement_list(text.data(), &list, true, false);
        std::string out;
        try {
            ValueWord last = W_UNDEFINED;
            for (uint32_t i = 0; i < list.count; ++i) {
                value_release_temp(last);
                last = evaluate(list.items[i]);
            }
            TextBuf b;
            value_display(last, true, b);
            out.assign(b.data ? b.data : "", b.len);
            textbuf_free(b);
            value_release_temp(last);
        } catch (const ScriptThrow& t) {
            out = word_tag(t.value) == TAG_ERROR ? std::string("ERROR ") + error_code_text(t.value) : "THROW";
            g_create_mode = false;
            g_jump = {-1, 0};
            try_reset();
            g_scope.block_depth = 0;
            g_scope.block_base = 0;
            g_scope.frame_base = 0;
            locals_pop_to(0);
        }
        statement_list_free(&list);
        return out;
    }

    std::deque<std::string> texts_;
};

struct Case {
    const char* src;
    const char* want;
};

void run_table(EvalTest& t, const Case* cases, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(t.run(cases[i].src), cases[i].want) << "source: " << cases[i].src;
    }
}

TEST_F(EvalTest, AdditionCoercions) {
    static const Case cases[] = {
        {"1 + 2", "3"},
        {"1 + 2.5", "3.5"},
        {"2.5 + 1", "3.5"},
        {"1 + '2'", "\"12\""},
        {"'a' + 1.5", "\"a1.5\""},
        {"2.0 + 'x'", "\"2.0x\""},
        {"'a' + 'b' + 1 + 2", "\"ab12\""},
        {"1 + 2 + 'a'", "\"3a\""},
        {"'x' + undefined", "\"xundefined\""},
        {"null + 'x'", "\"nullx\""},
        {"null + true", "\"nulltrue\""},
        {"2147483647 + 1", "-2147483648"},
        {"1 + true", "ERROR 2240"},
        {"var a = [1]; a + 1", "ERROR 2240"},
        {"0.1 + 0.2", "0.3"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, NumericOperators) {
    static const Case cases[] = {
        {"7 % -2", "-1"},
        {"-7 % 2", "1"},
        {"7.5 % 2", "1.5"},
        {"10 / 4", "2"},
        {"10.0 / 4", "2.5"},
        {"7 / 2", "3"},
        {"-7 / 2", "-3"},
        {"5 / 0", "ERROR 2330"},
        {"5 / 0.0", "ERROR 2330"},
        {"5 % 0", "ERROR 2330"},
        {"2 ** -1", "0"},
        {"2 ** 10", "1024"},
        {"2 ** 3 ** 2", "512"},
        {"2.0 ** 2", "4.0"},
        {"10 - 3 - 2", "5"},
        {"2 * 3 * 4", "24"},
        {"'3' * 2", "6"},
        {"'3.0' * 2", "6.0"},
        {"'3x' * 2", "ERROR 2305"},
        {"null * 2", "ERROR 2310"},
        {"65536 * 65536", "0"},
        {"var x = 9; x - 4", "5"},
        {"var a = 2; var b = 3; a * b - 1", "5"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, Comparisons) {
    static const Case cases[] = {
        {"'3' == 3", "true"},
        {"3 == ' 3'", "true"},
        {"'3x' != 3", "true"},  // always the negation of ==
        {"'3x' == 3", "false"},
        {"1 === 1.0", "false"},
        {"1 == 1.0", "true"},
        {"1 !== 1.0", "true"},
        {"'ab' === 'ab'", "true"},
        {"'a' < 'b'", "true"},
        {"'ab' < 'a'", "false"},
        {"'\xc3\xa9' > 'z'", "true"},
        {"null == null", "true"},
        {"null == undefined", "false"},
        {"null < null", "true"},
        {"null != undefined", "true"},
        {"var a = []; var b = []; a < b", "false"},
        {"var a = []; a < a", "true"},
        {"2 >= 2", "true"},
        {"2 > 2.5", "false"},
        {"-1 <= -1", "true"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, BitwiseAndShifts) {
    static const Case cases[] = {
        {"-1 >>> 0", "-1"},
        {"-1 >>> 1", "2147483647"},
        {"1 << 33", "2"},
        {"-8 >> 1", "-4"},
        {"1 << -1", "ERROR 2275"},
        {"1.5 << 1", "ERROR 2265"},
        {"1 << 'a'", "ERROR 2270"},
        {"1.5 & 1", "ERROR 2257"},
        {"1 & 'a'", "ERROR 2260"},
        {"~5", "-6"},
        {"var v = 5; ~v", "-6"},
        {"~1.5", "ERROR 2280"},
        {"6 & 3 | 8", "10"},
        {"5 ^ 1", "4"},
        {"12 & 10 & 8", "8"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, TypeofAndInstanceof) {
    static const Case cases[] = {
        {"typeof 1", "\"number\""},
        {"typeof 1.5", "\"number\""},
        {"typeof 'a'", "\"string\""},
        {"typeof undefined", "\"undefined\""},
        {"typeof never_declared", "\"undefined\""},
        {"typeof null", "\"object\""},
        {"typeof true", "\"boolean\""},
        {"typeof NaN", "\"symbol\""},
        {"typeof [1]", "\"object\""},
        {"var o = {a: 1}; typeof o", "\"object\""},
        {"function f() {} typeof f", "\"function\""},
        {"null instanceof Object", "true"},
        {"1 instanceof Number", "true"},
        {"1.5 instanceof Number", "true"},
        {"1 instanceof String", "false"},
        {"'s' instanceof String", "true"},
        {"[1] instanceof Array", "true"},
        {"var o = {}; o instanceof Hash", "true"},
        {"var o = {}; o instanceof Array", "false"},
        {"undefined instanceof Number", "false"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, LogicalAndConditional) {
    static const Case cases[] = {
        {"var e = []; !!e", "false"},
        {"!!0.0", "false"},
        {"!!'0'", "true"},
        {"!!''", "false"},
        {"var o = {}; !o", "true"},
        {"!!NaN", "false"},
        {"1 && 2", "true"},
        {"1 && 0 && 2", "false"},
        {"0 || ''", "false"},
        {"0 || 'a'", "true"},
        {"1 ? 'a' : 'b'", "\"a\""},
        {"0 ? 'a' : 1 ? 'b' : 'c'", "\"b\""},
        {"(1, 2, 3)", "3"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, AssignmentForms) {
    static const Case cases[] = {
        {"var x = 1; x += 2; x", "3"},
        {"var x = 1; x += 2.5", "3.5"},
        {"var s = 'a'; s += 1; s", "\"a1\""},
        {"var s = 1; s += 'a'; s", "\"1a\""},
        {"var s = 'a'; s += 0.5", "\"a0.5\""},
        {"var u; u += 1", "ERROR 2255"},
        {"var s = 'a'; s += null", "ERROR 2255"},
        {"var s = 'a'; s -= 1", "ERROR 2305"},
        {"var x = 5; x /= 0", "ERROR 2330"},
        {"var x = 10; x /= 4", "2"},
        {"var x = 10.0; x /= 4", "2.5"},
        {"var x = 7; x %= -2; x", "-1"},
        {"var x = 3; x *= '2'; x", "6"},
        {"var x = 6; x &= 3; x", "2"},
        {"var x = 6; x |= 1; x", "7"},
        {"var x = 6; x ^= 2; x", "4"},
        {"var x = 1.5; x &= 1", "ERROR 2295"},
        {"var x = 1; x &= 1.5", "ERROR 2285"},
        {"var a; var b; a = b = 3; a + b", "6"},
        {"undefined = 5", "5"},
        {"var p = 5; p = p", "5"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, ConstAndKindErrors) {
    static const Case cases[] = {
        {"{ const c = 1; c = 2 }", "ERROR 2320"},
        {"{ const c = 1; c += 2 }", "ERROR 2245"},
        {"{ const c = 1; c -= 2 }", "ERROR 2315"},
        {"{ const c = 1; c |= 2 }", "ERROR 2290"},
        {"{ const c = 1; c++ }", "ERROR 2200"},
        {"{ const c = 1; ++c }", "ERROR 2210"},
        {"{ const c = 1; c-- }", "ERROR 2220"},
        {"{ const c = 1; --c }", "ERROR 2230"},
        {"var s = 'a'; s++", "ERROR 2205"},
        {"var s = 'a'; ++s", "ERROR 2215"},
        {"var s = 'a'; s--", "ERROR 2225"},
        {"var s = 'a'; --s", "ERROR 2235"},
        {"var a = [1]; a.length++", "ERROR 2205"},
        {"var a = [1]; a.length += 1", "ERROR 2250"},
        {"var a = [1]; a.length -= 1", "ERROR 2317"},
        {"var a = [1]; a.length |= 1", "ERROR 2300"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, IncrementAndDecrement) {
    static const Case cases[] = {
        {"var i = 1; var j = i++; [i, j]", "[2,1]"},
        {"var i = 1; var j = ++i; [i, j]", "[2,2]"},
        {"var i = 1; var j = i--; [i, j]", "[0,1]"},
        {"var i = 1; var j = --i; [i, j]", "[0,0]"},
        {"var f = 1.5; f++; f", "2.5"},
        {"var m = 2147483647; m++; m", "-2147483648"},
        {"var a = [5]; a[0]++; a", "[6]"},
        {"var o = {k: 1}; ++o.k; o", "{'k':2}"},
        // Two variables sharing one value: the other keeps its number.
        {"var p = 1; var q = p; ++p; [p, q]", "[2,1]"},
        // A discarded x++ (sequence item) steps in place but keeps its codes.
        {"var i = 1; (i++, i)", "2"},
        {"var p = 1; var q = p; (p++, [p, q])", "[2,1]"},
        {"{ const c = 1; (c++, 1) }", "ERROR 2200"},
        {"var s = 'a'; (s--, 1)", "ERROR 2225"},
    };
    run_table(*this, cases, std::size(cases));
}

// Number cells are changed in place, shared (small integers) or reused
// once freed: a value held elsewhere must never see the change.
TEST_F(EvalTest, NumbersChangeOnlyWhereUnshared) {
    static const Case cases[] = {
        {"var a = 100000; var b = a; a += 1; [a, b]", "[100001,100000]"},
        {"var a = 100000; var b = a; a -= 1; a *= 2; [a, b]", "[199998,100000]"},
        {"var a = 5; var b = a; a += 1; a++; ++a; [a, b]", "[8,5]"},
        {"var a = 70000; var c = a++; var d = a--; [a, c, d]", "[70000,70000,70001]"},
        {"var a = [70000]; var c = a[0]++; [a, c]", "[[70001],70000]"},
        {"var f = 1.5; var g = f; f *= 2; f += 1; [f, g]", "[4.0,1.5]"},
        {"var x = 3; var y = x * 1000 + 1; var z = y; y += x; [y, z]", "[3004,3001]"},
        {"var o = {k: 90000}; var v = o.k; o.k += 5; [o, v]", "[{'k':90005},90000]"},
        // The right side changes the target's holders while it runs.
        {"var x = 100000; x += (x = 7, x); x", "100007"},
        {"var x = 100000; var k = 0; x += (k = x, 1); [x, k]", "[100001,100000]"},
        {"var n = 1; for (var i = 0; i < 3; i++) { n = n * 70000 % 100003; } n", "49439"},
        {"var t = 0; for (var i = 0; i < 100; i++) t = t + i * i - (i - 1); [t, i]", "[323500,100]"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, IndexAccess) {
    static const Case cases[] = {
        {"'abc'[1]", "\"b\""},
        {"'abc'[3]", "undefined"},
        {"'a\xc3\xa9" "b'[1]", "\"\xc3\xa9\""},
        {"'a\xc3\xa9" "b'[3]", "undefined"},
        {"var a = [1, 2, 3]; a[5] = 1; a", "[0:1,1:2,2:3,5:1]"},
        {"var a = [1, 2, 3]; a[3] = 4; a", "[1,2,3,4]"},
        {"var a = [1]; a[-1]", "ERROR 2025"},
        {"var a = [1]; a[7]", "undefined"},
        {"var a = [1]; a[7]; a", "[1]"},
        {"var o = {a: 1}; o['a']", "1"},
        {"var o = {a: 1}; o['b']", "undefined"},
        {"var o = {a: 1}; o['b']; o", "{'a':1}"},
        {"var o = {a: 1}; o['b'] = 2; o", "{'a':1,'b':2}"},
        {"var n = 5; n[0]", "ERROR 2030"},
        {"var a = [1]; a['x']", "ERROR 2023"},
        {"var a = [1]; a[1.5]", "ERROR 2032"},
        {"var s = [1, 2]; s[4] = 5; s[4]", "5"},
        {"var s = [1, 2]; s[4] = 5; s[9]", "undefined"},
        {"var s = [1, 2]; s[4] = 5; s[0] = 7; s", "[0:7,1:2,4:5]"},
        {"var o = {a: [1]}; o.a[3] = 2; o", "{'a':[0:1,3:2]}"},
        {"var m = [[1]]; m[0][2] = 3; m", "[[0:1,2:3]]"},
        {"[1][3] = 2", "ERROR 2000"},
        // A call's result has no location: registers left by the callee
        // must not receive the sparse array.
        {"var other = [7]; function f() { var t = other[0]; return [1, 2]; } "
         "try { f()[5] = 3; } catch (e) {} other",
         "[7]"},
        {"var w = [7]; function g() { return w[0]; } g() = 9; w", "[7]"},
        {"[1, 2, 3][1]", "2"},
        // Reading b inside the index of an assignment adds nothing to b.
        {"var b = {}; var a = {}; a[b['k']] = 1; b", "{}"},
        {"var a = [1]; for (var i = 1; i < 40; i++) a[a.length] = i; a.length", "40"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, MemberAccess) {
    static const Case cases[] = {
        {"var o = {a: 1}; o.a", "1"},
        {"var o = {a: 1}; o.b", "undefined"},
        {"var o = {a: 1}; o.b = 5; o", "{'a':1,'b':5}"},
        {"var o = {a: {b: 1}}; o.a.b = 2; o", "{'a':{'b':2}}"},
        {"'abc'.length", "3"},
        {"[1, 2].length", "2"},
        {"var o = {a: 1, b: 2}; o.length", "2"},
        {"undefined.length", "9"},
        {"var n = 5; n.length", "undefined"},
        {"var n = 5; n.x", "ERROR 2035"},
        {"var a = [1]; a.x", "ERROR 2035"},
        {"var a = [1]; a.length = 5; a", "[1]"},
        {"var e = Error('m', 12); e.name", "\"12\""},
        {"var e = Error('m', 12); e.message", "\"m\""},
        {"var e = Error('m'); e.foo", "ERROR 2035"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, Templates) {
    static const Case cases[] = {
        {"`a${1+1}b`", "\"a2b\""},
        {"`a\\${1}b`", "\"a\\${1}b\""},
        {"`a\\\\${1}b`", "\"a\\\\1b\""},
        {"`x${'s'}y${2.5}`", "\"xsy2.5\""},
        {"var v = [1, 'a']; `${v}`", "\"[1,\"a\"]\""},
        {"`${var t = 3; t * 2}`", "\"6\""},
        {"`plain`", "\"plain\""},
        {"`a${1`", "ERROR 2010"},
        {"`a${1\\}`", "ERROR 2010"},
        {"`${1/0}`", "ERROR 2330"},
    };
    run_table(*this, cases, std::size(cases));
    std::string big = "`${" + std::string(512, '1') + "}`";
    EXPECT_EQ(run(big), "ERROR 2005");
    std::string fits = "`${" + std::string(511, ' ') + "}`";
    EXPECT_EQ(run(fits), "\"undefined\"");
}

TEST_F(EvalTest, LiteralsAreFresh) {
    static const Case cases[] = {
        {"function f() { var a = []; a[a.length] = 1; return a.length; } f(); f()", "1"},
        {"function g() { var a = [[0]]; a[0][0] += 1; return a[0][0]; } g(); g()", "1"},
        {"function h() { var o = {n: {c: 0}}; o.n.c++; return o.n.c; } h(); h()", "1"},
        {"function k(v) { var a = [v, 2]; return a; } k(1); k(3)", "[3,2]"},
        {"var x = [1]; var y = Array(x, 'a'); x[0] = 9; y", "[[1],\"a\"]"},
        {"Array()", "[]"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, Conversions) {
    static const Case cases[] = {
        {"Integer('2.5')", "2"},
        {"Integer('12abc')", "12"},
        {"Integer(7.9)", "7"},
        {"Integer()", "0"},
        {"Float('1e3')", "1000.0"},
        {"Float(2)", "2.0"},
        {"Float()", "0.0"},
        {"Integer([1])", "ERROR 1410"},
        {"Float(null)", "ERROR 1415"},
    };
    run_table(*this, cases, std::size(cases));
}

TEST_F(EvalTest, UndeclaredNameBecomesGlobal) {
    EXPECT_EQ(global_find(name_word(intern("fresh_name", 10))), -1);
    EXPECT_EQ(run("fresh_name"), "undefined");
    EXPECT_GE(global_find(name_word(intern("fresh_name", 10))), 0);
}

TEST_F(EvalTest, LocationRegistersAfterAccess) {
    run("var a = [1, 2]; var o = {k: 3}");
    texts_.push_back("a[1]");
    lex_begin(texts_.back().data());
    StatementList list = {};
    parse_statement_list(texts_.back().data(), &list, true, false);
    evaluate(list.items[0]);
    EXPECT_EQ(g_loc.kind, LOC_ELEMENT);
    EXPECT_EQ(g_loc.index, 1u);
    AreaWord* slot = location_slot(g_loc);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(cell_int(dw_cell(*slot)), 2);
    statement_list_free(&list);

    texts_.push_back("o.k");
    lex_begin(texts_.back().data());
    list = {};
    parse_statement_list(texts_.back().data(), &list, true, false);
    evaluate(list.items[0]);
    EXPECT_EQ(g_loc.kind, LOC_PAIR);
    EXPECT_EQ(g_loc.index, 0u);
    statement_list_free(&list);

    // A location whose owner changed kind resolves to nothing.
    Location stale = {LOC_ELEMENT, 0, global_value(intern("o", 1)), false};
    EXPECT_EQ(location_slot(stale), nullptr);
}

TEST_F(EvalTest, SparseConversionLayout) {
    run("var a = [1, 2, 3]; a[5] = 9");
    // The location of the assignment is the new pair.
    EXPECT_EQ(g_loc.kind, LOC_PAIR);
    EXPECT_EQ(g_loc.index, 3u);
    ValueWord a = global_value(intern("a", 1));
    ASSERT_EQ(word_tag(a), TAG_SPARSE);
    Cell* c = dw_cell(a);
    EXPECT_EQ(arr_count(c), 4u);
    EXPECT_EQ(arr_cap(c), 14u);  // old count + 11
    EXPECT_EQ(value_nibble(a), 1u);  // held by the variable only
    const AreaWord* pairs = static_cast<const AreaWord*>(area_ptr(arr_addr(c)));
    const uint32_t keys[] = {0, 1, 2, 5};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pairs[2 * i], intkey_word(keys[i])) << i;
        // Each value is a program constant held by its node and by the pair.
        EXPECT_EQ(value_nibble(pairs[2 * i + 1]), 2u) << i;
    }
}

TEST_F(EvalTest, ObjectPairsGrowWhenFull) {
    // A literal has room for its entries plus 10; the 11th new key moves
    // the pairs to a block 11 pairs larger.
    run("var o = {}; o.k0 = 0; o.k1 = 1; o.k2 = 2; o.k3 = 3; o.k4 = 4; o.k5 = 5; o.k6 = 6; "
        "o.k7 = 7; o.k8 = 8; o.k9 = 9; o.k10 = 10");
    Cell* c = dw_cell(global_value(intern("o", 1)));
    EXPECT_EQ(obj_count(c), 11u);
    EXPECT_EQ(obj_cap(c), 21u);
    EXPECT_EQ(run("o.k0 + o.k10"), "10");
}

// Cells in use: appended cells minus free ones.
long live_cells() {
    AreaStats st = area_stats();
    return static_cast<long>(st.dw_current_block) * 256 + st.dw_next_cell - st.dw_free_total;
}

TEST_F(EvalTest, RepeatedEvaluationLeavesNoCells) {
    // Every temporary an operator or access makes dies; values replaced in
    // variables are freed. Running the same statements again must not
    // leave more cells in use.
    const std::string body =
        "var i = 0; i = i + 1; i++; ++i; i += 2; i -= 1; i *= 3; i /= 2; i %= 5; i &= 7; "
        "var f = 1.5; f = f * 2 + 0.5; f++; "
        "var s = 'a' + 1 + 2.5 + null; s += 'x'; var c = s[1]; var n = s.length; "
        "var a = [1, [2, 3], {k: 'v'}]; a[1][0] = a[0] + 1; a[7] = 5; var e = a.length; "
        "var o = {p: 1}; o.q = o.p + 1; o['r'] = `t${o.q}`; var t = typeof o; "
        "var b = (1 < 2) && !(i == 3) || 'z' >= 'y'; var m = (1, 2) ? -i >>> 1 : ~i; "
        "var x = Array(1, 'two', [3]); var g = Integer('7') + Float(2); var h = x[2][0] ^ 1; "
        "var r = [1, 2, 3][1] + 'abc'[2] + {z: 4}.z";
    texts_.push_back(body);
    lex_begin(texts_.back().data());
    StatementList list = {};
    parse_statement_list(texts_.back().data(), &list, true, false);
    auto once = [&] {
        for (uint32_t i = 0; i < list.count; ++i) release_temp(evaluate(list.items[i]));
    };
    once();
    once();
    long before = live_cells();
    for (int k = 0; k < 20; ++k) once();
    EXPECT_EQ(live_cells(), before);
    EXPECT_EQ(run("[i, f, s, c, n, e, t, b, m, g, h, r]"),
              "[1,4.5,\"a12.5nullx\",\"1\",10,4,\"object\",true,2147483647,9.0,2,\"2c4\"]");
    statement_list_free(&list);
}

TEST_F(EvalTest, EvalTableRefusesStatements) {
    EXPECT_TRUE(eval_refuses(105));
    EXPECT_TRUE(eval_refuses(160));
    EXPECT_TRUE(eval_refuses(200));
    EXPECT_FALSE(eval_refuses(118));
    EXPECT_FALSE(eval_refuses(147));
    EXPECT_EQ(g_eval_table[118], g_op_table[118]);
    set_eval_mode(true);
    EXPECT_EQ(run("1 + 2"), "3");
    EXPECT_EQ(run("typeof 1"), "ERROR 1860");
    set_eval_mode(false);
    EXPECT_EQ(run("typeof 1"), "\"number\"");
}

TEST_F(EvalTest, IntFromDoubleWraps) {
    EXPECT_EQ(int_from_double(2147483648.0), -2147483647 - 1);
    EXPECT_EQ(int_from_double(-2.9), -2);
    EXPECT_EQ(int_from_double(4294967297.0), 1);
    EXPECT_EQ(int_from_double(std::nan("")), 0);
}

}  // namespace
}  // namespace velt
