// Array methods and the holds they leave: reference counts of results and
// of elements taken out or put in, and cells in use after many calls
// (sort with comparisons that throw, change or drop the array included).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/protocol.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/loader.h"
#include "parser/statements.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

using namespace velt;

namespace {

// Loads the module and runs the TOP call as script mode does; returns the
// console output (or the error report).
std::string run_script(const char* module_text, const char* top_call) {
    reset_interpreter();
    g_run.mode = RunMode::Script;
    module_add("m.js", 4, MODULE_JS);
    std::vector<char> text(module_text, module_text + std::strlen(module_text) + 1);
    std::vector<char> call(top_call, top_call + std::strlen(top_call) + 1);
    testing::internal::CaptureStdout();
    try {
        load_module_text(1, text.data());
        set_managed_mode();
        run_statements(g_program.items, g_program.count);
        module_add("MainScript", 10, MODULE_JS);
        g_run.current_module = 2;
        g_parse.module = 2;
        ValueWord node = parse_top_call(call.data());
        try_reset();
        g_run.run_started = true;
        evaluate_top_call(node);
    } catch (const ScriptThrow& t) {
        write_caught_error(t.value, g_run.run_started ? CaughtAt::ScriptMode : CaughtAt::RequestFrame);
    }
    out_flush();
    return testing::internal::GetCapturedStdout();
}

long cells_in_use() {
    AreaStats st = area_stats();
    if (st.dw_current_block < 0) return 0;
    return static_cast<long>(st.dw_current_block) * 256 + st.dw_next_cell - st.dw_free_total;
}

ValueWord global(const char* name) { return global_value(intern(name, std::strlen(name))); }
uint32_t nibble_of(const char* name) { return value_nibble(global(name)); }

// Nibble of element i of the Array held by a global.
uint32_t element_nibble(const char* name, uint32_t i) {
    Cell* c = dw_cell(global(name));
    return value_nibble(static_cast<const AreaWord*>(area_ptr(arr_addr(c)))[i]);
}

TEST(ArrayHolds, TakenAndReturnedValuesEndHeldOnce) {
    std::string out = run_script(
        "var a; var p; var s; var x; var f; var r; var q; var k;\n"
        "function same(u, v) { return 0; }\n"
        "function main() {\n"
        "  a = [[1], [2], [3]]; p = a.pop(); s = a.shift();\n"
        "  x = [5]; f = [0, 0, 0]; f.fill(x); r = f.sort(same);\n"
        "  q = [[7], [8], [9], [10]]; q.splice(1, 2);\n"
        "  k = [1]; k[5] = 2; k['name'] = 3; k = k.keys();\n"
        "}\n",
        "main()");
    EXPECT_EQ(out, "");
    EXPECT_EQ(nibble_of("p"), 1u);  // popped: held by p alone
    EXPECT_EQ(nibble_of("s"), 1u);
    EXPECT_EQ(nibble_of("a"), 1u);
    EXPECT_EQ(nibble_of("x"), 4u);  // x and three places of f
    EXPECT_EQ(nibble_of("f"), 2u);  // f and r: sort hands its receiver over
    EXPECT_EQ(global("r"), global("f"));
    EXPECT_EQ(element_nibble("q", 0), 1u);
    EXPECT_EQ(element_nibble("q", 1), 1u);
    EXPECT_EQ(arr_count(dw_cell(global("q"))), 2u);
    EXPECT_EQ(element_nibble("k", 2), 1u);  // the name key as a new string
}

TEST(ArrayHolds, SortKeepsElementCountsWhenAComparisonThrowsOrDropsTheArray) {
    std::string out = run_script(
        "var a; var g; var r; var n = 0;\n"
        "function boom(u, v) { n++; if (n == 4) throw 'x'; return u[0] - v[0]; }\n"
        "function drop(u, v) { g = null; return v[0] - u[0]; }\n"
        "function main() {\n"
        "  a = [[3], [1], [2], [5], [4]];\n"
        "  try { a.sort(boom); } catch (e) { console.log(e); }\n"
        "  g = [[1], [3], [2]]; r = g.sort(drop);\n"
        "}\n",
        "main()");
    EXPECT_EQ(out, "(L) \"x\"\n");
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(element_nibble("a", i), 1u) << i;
    EXPECT_EQ(nibble_of("r"), 1u);  // g let go of it during the sort
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(element_nibble("r", i), 1u) << i;
}

TEST(ArrayHolds, RepeatedMethodCallsLeaveNoCells) {
    const char* module =
        "var keep = [1, 2, 3]; var n = 0;\n"
        "function num(u, v) { return u - v; }\n"
        "function boom(u, v) { n++; if (n % 3 == 0) throw [u, v]; return u - v; }\n"
        "function meddle(u, v) { keep.push([u]); keep.pop(); keep.sort(num); return v - u; }\n"
        "function main(count) {\n"
        "  for (var i = 0; i < count; i++) {\n"
        "    var a = [i, [i], 'x' + i, 2.5, {k: [i]}];\n"
        "    var b = a.concat([7, [8]], a).slice(1, -1);\n"
        "    b.reverse(); b.copyWithin(0, 2); b.fill([i], 3);\n"
        "    a.push([i], i + 100000); a.unshift(['u']); a.pop(); a.shift(); a.push(a.pop());\n"
        "    a.splice(1, 2, [0], 'y'); a.splice(2); var j = a.join('-') + a.toString() + b.keys().join();\n"
        "    var m = a.indexOf('y') + a.lastIndexOf(0) + (a.includes(2.5) ? 1 : 0);\n"
        "    var s = [i]; s[9] = [i]; s['w'] = 'v'; s.push([1]); s.unshift('z'); s.shift(); s.pop();\n"
        "    var t = s.keys().concat(s, [s.join(), s.toString(), s.indexOf(i), s.lastIndexOf(i)]);\n"
        "    var c = [5, 3, 9, 1, 7, 100000, -100000];\n"
        "    c.sort(num); c.sort(); [c[0], 4, 2].sort(meddle);\n"
        "    try { [4, 3, 2, 1, 0].sort(boom); } catch (e) { }\n"
        "    try { [1, [2]].splice(0, 0); } catch (e) { }\n"
        "    try { [f, 1].sort(); } catch (e) { }\n"
        "    try { [num].join(); } catch (e) { }\n"
        "  }\n"
        "}\n"
        "function f() { }\n";
    EXPECT_EQ(run_script(module, "main(10)"), "");
    long small = cells_in_use();
    EXPECT_EQ(run_script(module, "main(300)"), "");
    long large = cells_in_use();
    EXPECT_LT(large - small, 20) << small << " " << large;
    EXPECT_GT(small, 0);
}

TEST(ArrayHolds, PushGrowsGeometrically) {
    // Capacity stays within a constant factor of the count: n pushes copy
    // O(n) words in all.
    run_script("var a = []; function main() { for (var i = 0; i < 100000; i++) a.push(i); }\n", "main()");
    Cell* c = dw_cell(global("a"));
    EXPECT_EQ(arr_count(c), 100000u);
    EXPECT_LE(arr_cap(c), 100000u * 3 / 2 + 20);
    EXPECT_GE(arr_cap(c), 100000u);
}

}  // namespace
