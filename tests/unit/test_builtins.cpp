// The Hash and eval built-ins where the outside cannot see: cells left in
// use after values are replaced, removed or parsed at run time, and the
// growth of a Hash's pair block.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "driver/errors.h"
#include "driver/run.h"
#include "eval/eval.h"
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

struct BuiltinsTest : ::testing::Test {
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

    // Evaluates the statements of src; the display form of the last value
    // (strings quoted) or "ERROR <code>".
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
            value_release_temp(last);
        } catch (const ScriptThrow& t) {
            out = word_tag(t.value) == TAG_ERROR ? std::string("ERROR ") + error_code_text(t.value) : "THROW";
            try_reset();
        }
        for (uint32_t i = 0; i < list.count; ++i) value_release(list.items[i]);
        statement_list_free(&list);
        return out;
    }

    // Cells in use after the statements of body (parsed once) ran 50
    // more times, less those after the first runs.
    long cells_left_by_repeats(const std::string& body) {
        texts_.push_back(body);
        lex_begin(texts_.back().data());
        StatementList list = {};
        parse_statement_list(texts_.back().data(), &list, true, false);
        auto once = [&] {
            for (uint32_t i = 0; i < list.count; ++i) value_release_temp(evaluate(list.items[i]));
        };
        // Runs first until the number stash (16 cells) and the small
        // integers have filled up.
        for (int i = 0; i < 20; ++i) once();
        long before = live_cells();
        for (int i = 0; i < 50; ++i) once();
        long after = live_cells();
        for (uint32_t i = 0; i < list.count; ++i) value_release(list.items[i]);
        statement_list_free(&list);
        return after - before;
    }

    static long live_cells() {
        AreaStats st = area_stats();
        return static_cast<long>(st.dw_current_block) * 256 + st.dw_next_cell - st.dw_free_total;
    }

    std::deque<std::string> texts_;
};

TEST_F(BuiltinsTest, EvalReleasesItsNodesAndTemporaries) {
    run("var t = 0; var s = 'x'");
    const std::string body =
        "t = 0; s = 'x'; t = eval('t + 1; [t, {k: \"v\"}, `a${t}`]')[0]; s = eval('s + \"y\"'); "
        "t = eval('(1 + 2) * 3 - t') + eval('1.5'); try { eval('1 / 0'); } catch (e) { t = t + 1; }";
    EXPECT_EQ(cells_left_by_repeats(body), 0);
    EXPECT_EQ(run("eval('\"abc\"')"), "\"abc\"");
}

TEST_F(BuiltinsTest, HashSetDeleteAndClearReleaseTheirValues) {
    run("var h = {}; h.set('a', [1, 2]); h.set('b', {q: [3]})");
    const std::string body =
        "h.set('a', [4, [5]]); h.delete('b'); h.set('b', {q: [6]}); h.set('c', 'str' + 1); "
        "h.clear(); h.set('a', [7]); h.set('b', 'z'); var k = h.keys(); var o = Object.keys(h); "
        "var w = h.toString(); h.forEach(function (v, key, hh) { hh.set(key, [v]); })";
    EXPECT_EQ(cells_left_by_repeats(body), 0);
}

TEST_F(BuiltinsTest, HashPairBlockGrowsByHalf) {
    // Capacity starts at the literal's count + 10; a full block (count at
    // least capacity - 1) grows by half, at least 11 pairs.
    run("var h = {}");
    Cell* c = dw_cell(global_value(intern("h", 1)));
    uint32_t cap = 10;
    for (uint32_t n = 0; n < 3000; ++n) {
        if (n + 1 >= cap) cap += cap / 2 < 11 ? 11 : cap / 2;
        run("h.set('k" + std::to_string(n) + "', 1)");
        ASSERT_EQ(obj_count(c), n + 1);
        ASSERT_EQ(obj_cap(c), cap) << n;
    }
    EXPECT_EQ(run("h.get('k0') + h.get('k2999')"), "2");
}

}  // namespace
}  // namespace velt
