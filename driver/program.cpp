#include "driver/program.h"

#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/loader.h"
#include "parser/statements.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

namespace {

const char MAIN_SCRIPT[] = "MainScript";
ValueWord g_top_call_node = 0;

// Writable copy of a text with room for a closing brace.
char* member_buffer(const char* entry, size_t len) {
    char* buf = static_cast<char*>(std::malloc(len + 2));
    if (!buf) report_error(1400, "メモリ領域を取得できません");
    std::memcpy(buf, entry, len);
    buf[len] = '}';
    buf[len + 1] = '\0';
    return buf;
}

}  // namespace

void load_modules_once() {
    if (g_run.modules_loaded) return;
    g_run.modules_loaded = true;
    for (int i = 0; i <= g_run.module_last; ++i) load_module(static_cast<uint32_t>(i) + 1);
}

void bind_start_globals() {
    for (size_t i = 0; i < g_config.var_count; ++i) {
        const char* entry = config_var(i);
        char* text = member_buffer(entry, std::strlen(entry));
        struct Guard {
            char* p;
            ~Guard() { std::free(p); }
        } guard{text};
        lex_begin(text);
        ValueWord object = 0;
        read_object_literal(text, &object);
        Cell* cell = dw_cell(object);
        uint32_t n = obj_count(cell);
        const ValueWord* pairs = n ? static_cast<const ValueWord*>(area_ptr(obj_addr(cell))) : nullptr;
        for (uint32_t k = 0; k < n; ++k) {
            ValueWord value = evaluate(pairs[2 * k + 1]);
            bind_global(word_payload(pairs[2 * k]), value);
        }
        value_release_temp(object);
    }
    bind_global(N_UNDEFINED, W_UNDEFINED);
    bind_global(N_TRUE, W_TRUE);
    bind_global(N_FALSE, W_FALSE);
    bind_global(N_NULL, W_NULL);
}

void run_module_statements() { run_statements(g_program.items, g_program.count); }

void prepare_top_call() {
    module_add(MAIN_SCRIPT, sizeof MAIN_SCRIPT - 1, MODULE_JS);
    g_run.current_module = static_cast<uint32_t>(g_run.module_last) + 1;
    char text[TOP_CALL_MAX + 1];
    std::memcpy(text, g_run.top_call, sizeof text);
    lex_begin(text);
    remove_comments(text);
    // Messages about the call text name MainScript at line 0.
    g_run.current_line = 0;
    g_run.current_column = 0;
    g_top_call_node = parse_top_call(text);
    if (g_top_call_node == 0) {
        if (g_run.mode == RunMode::Script) {
            print_message("評価する式が不正 '%.100s'", g_run.top_call);
        } else {
            report_parse_error(1810, "評価する式が不正 '%.100s'", g_run.top_call);
        }
    }
}

void evaluate_parsed_top_call() {
    if (g_top_call_node) evaluate_top_call(g_top_call_node);
}

}  // namespace velt
