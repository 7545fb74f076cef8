#include "parser/loader.h"

#include <cstring>
#include <memory>

#include "driver/config.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "platform/platform.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

ModuleSourceHook g_module_source_hook = nullptr;

bool module_path(const char* name, char* out, size_t cap) {
    size_t used = 0;
    bool fits = true;
    auto put = [&](const char* s) {
        for (; *s; ++s) {
            if (used + 1 >= cap || used >= MODULE_PATH_MAX) {
                fits = false;
                return;
            }
            out[used++] = *s == '\\' ? '/' : *s;
        }
    };
    if (g_config.module_dir[0]) {
        put(g_config.module_dir);
        put("/");
    }
    put(name);
    if (cap > 0) out[used < cap ? used : cap - 1] = '\0';
    return fits;
}

void load_module_text(uint32_t module_number, char* text) {
    g_run.current_module = module_number;
    g_parse.module = module_number;
    lex_begin(text);
    remove_comments(text);
    lex_begin(text);
    parse_statement_list(text, &g_program, true, false);
}

void load_module(uint32_t module_number) {
    g_run.current_module = module_number;
    g_parse.module = module_number;
    g_run.current_line = 1;
    if (module_number == 0 || static_cast<int>(module_number) - 1 > g_run.module_last)
        report_parse_error(1165, "ファイルオープン不正 '%s'", "");
    const char* name = module_name(module_number);
    char path[MODULE_PATH_MAX + 1];
    // A path too long for the buffer is refused rather than cut: a cut path
    // could name another file.
    if (!module_path(name, path, sizeof path)) report_parse_error(1165, "ファイルオープン不正 '%s'", path);
    if (g_module_source_hook && g_module_source_hook(module_number, path)) return;
    size_t len = 0;
    std::unique_ptr<char[]> text(platform::read_whole_file(path, &len, 1));
    if (!text) report_parse_error(1165, "ファイルオープン不正 '%s'", path);
    uint8_t kind = g_run.modules[module_number - 1].kind;
    if (kind == MODULE_JO)
        report_parse_error(1165, "ファイルオープン不正 '%s' (プログラムイメージは読み込めません)", path);
    load_module_text(module_number, text.get());
}

namespace {

// Arguments of the TOP call: numbers, strings without the template mark,
// bare names, and arrays and objects built from those.
bool top_argument_ok(ValueWord w, int depth) {
    if (depth > 64) return false;
    switch (word_tag(w)) {
    case TAG_NAME:
    case TAG_INT:
    case TAG_FLOAT:
        return true;
    case TAG_STRING:
        return str_mark(dw_cell(w)) >= 0;
    case TAG_ARRAY: {
        Cell* c = dw_cell(w);
        uint32_t n = arr_count(c);
        if (n == 0) return true;
        auto* items = static_cast<ValueWord*>(area_ptr(arr_addr(c)));
        for (uint32_t i = 0; i < n; ++i) {
            if (!top_argument_ok(items[i], depth + 1)) return false;
        }
        return true;
    }
    case TAG_OBJECT: {
        Cell* c = dw_cell(w);
        uint32_t n = obj_count(c);
        if (n == 0) return true;
        auto* pairs = static_cast<ValueWord*>(area_ptr(obj_addr(c)));
        for (uint32_t i = 0; i < n; ++i) {
            if (!top_argument_ok(pairs[2 * i + 1], depth + 1)) return false;
        }
        return true;
    }
    default:
        return false;
    }
}

[[noreturn]] void top_refused() { report_parse_error(1725, "TOP関数のステートメント不正"); }

constexpr int TOP_MAX_SLOTS = 31;

// Names that the expression reader turns into operators or built-in nodes
// rather than calls.
bool callee_name_ok(uint32_t name) {
    switch (name) {
    case N_INTEGER: case N_FLOAT: case N_ERROR: case N_REGEXP: case N_ARRAY: case N_EXCEPTION:
    case N_NEW: case N_TYPEOF: case N_INSTANCEOF:
        return false;
    default:
        return true;
    }
}

}  // namespace

ValueWord parse_top_call(char* text) {
    struct Restore {
        bool no_stop;
        uint32_t module;
        ~Restore() {
            g_parse.no_stop = no_stop;
            g_parse.module = module;
        }
    } restore{g_parse.no_stop, g_parse.module};
    g_parse.no_stop = true;
    g_parse.module = g_run.current_module;
    // MainScript messages carry line 0.
    lex_begin(text);
    g_run.current_line = 0;

    char* p = skip_whitespace(text);
    if (*p == '\0' || *p == ';') return 0;

    // The callee: a name, or names joined by ".".
    char* q = p;
    if (recognize_keyword(q) != KW_NONE) top_refused();
    if (!is_ident_start(static_cast<unsigned char>(*p))) top_refused();
    uint32_t name = 0;
    q = read_identifier(p, &name);
    if (!callee_name_ok(name)) top_refused();
    ValueWord callee = name_word(name);
    int slots = 1;
    for (;;) {
        char* dot = skip_whitespace(q);
        if (*dot != '.') {
            q = dot;
            break;
        }
        slots += 2;
        if (slots > TOP_MAX_SLOTS)
            report_parse_error(1720, "TOP関数のステートメントの演算子不正 '%s'", error_excerpt(text, EXCERPT_STATEMENT));
        char* member = skip_whitespace(dot + 1);
        if (!is_ident_start(static_cast<unsigned char>(*member)))
            report_parse_error(1730, "TOP関数のフォーマット不正 '%s'", error_excerpt(text, EXCERPT_STATEMENT));
        uint32_t member_name = 0;
        q = read_identifier(member, &member_name);
        ValueWord ops[2] = {callee, name_word(member_name)};
        callee = make_node(OP_MEMBER, ops, 2, source_position(dot), text);
    }
    if (*q != '(') top_refused();
    slots += 2;
    if (slots > TOP_MAX_SLOTS)
        report_parse_error(1720, "TOP関数のステートメントの演算子不正 '%s'", error_excerpt(text, EXCERPT_STATEMENT));
    uint32_t call_pos = source_position(q);
    ValueWord args[256];
    int n = 0;
    char* after = read_call_arguments(q, args, 256, &n, text);
    for (int i = 0; i < n; ++i) {
        if (!top_argument_ok(args[i], 0)) top_refused();
    }
    // Nothing may follow the call but a `;` (and what lies behind it).
    char* rest = skip_whitespace(after);
    if (*rest != '\0' && *rest != ';') {
        // Only operator bytes left: the expression does not reduce.
        bool operand = false;
        for (char* s = rest; *s && *s != ';'; ++s) {
            unsigned char c = static_cast<unsigned char>(*s);
            if (is_ident_part(c) || c >= 0x80 || c == '"' || c == '\'' || c == '`' || c == '(' || c == '[' ||
                c == '{' || c == '.')
                operand = true;
        }
        if (!operand) report_parse_error(1730, "TOP関数のフォーマット不正 '%s'", error_excerpt(text, EXCERPT_STATEMENT));
        top_refused();
    }
    ValueWord ops[2] = {callee, make_argument_array(args, static_cast<uint32_t>(n))};
    return make_node(OP_CALL, ops, 2, call_pos, text);
}

}  // namespace velt
