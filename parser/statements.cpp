#include "parser/statements.h"

#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "driver/run.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

const uint8_t g_stop_point[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0-15
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 16-31
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 32-47
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 48-63
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 64-79
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 80-95
    0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0,  // 96-111
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1,  // 112-127
    1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 1,  // 128-143
    0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 0,  // 144-159
    1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 160-175
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 176-191
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 192-207
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 208-223
    1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 224-239
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 240-255
};

ParseState g_parse = {};
NameList g_global_vars = {};
NameList g_function_vars = {};
// Parameter names of the functions being parsed; from g_param_mark on,
// those of the innermost one. A body `var` naming one declares nothing.
NameList g_function_params = {};
uint32_t g_param_mark = 0;
NameList g_block_names = {};
uint32_t g_function_mark = 0;
uint32_t g_block_mark = 0;
StatementList g_program = {};

uint8_t node_flags(uint32_t op) {
    uint8_t flags = static_cast<uint8_t>(g_parse.module & 0x7Fu);
    if (g_parse.no_stop || !g_stop_point[op & 0xFFu]) flags |= NODE_NO_STOP;
    return flags;
}

namespace {

constexpr const char* MSG_NO_MEMORY = "メモリ領域を取得できません";

// ---- Growable lists ----

void name_list_push(NameList* list, uint32_t name) {
    if (list->count == list->cap) {
        uint32_t cap = list->cap + 512;
        auto* grown = static_cast<uint32_t*>(std::realloc(list->names, sizeof(uint32_t) * cap));
        if (!grown) report_error(1400, "%s", MSG_NO_MEMORY);
        list->names = grown;
        list->cap = cap;
    }
    list->names[list->count++] = name;
}

bool name_list_has(const NameList* list, uint32_t from, uint32_t name) {
    for (uint32_t i = from; i < list->count; ++i) {
        if (list->names[i] == name) return true;
    }
    return false;
}

// ---- Small helpers ----

// Area memory for a record the evaluator tells from "none" (0) by its
// address: area address 0 (the very first Free-area allocation) is skipped.
uint32_t alloc_record(size_t bytes, ValueWord** out) {
    void* mem = nullptr;
    uint32_t addr = area_alloc(bytes, &mem);
    if (addr == 0) addr = area_alloc(bytes, &mem);
    *out = static_cast<ValueWord*>(mem);
    return addr;
}

// The word at p (with a word boundary behind it)?
bool at_word(const char* p, const char* word) {
    size_t n = std::strlen(word);
    return std::strncmp(p, word, n) == 0 && is_word_boundary(static_cast<unsigned char>(p[n]));
}

bool is_bare_name(ValueWord w) { return word_tag(w) == TAG_NAME; }

Cell* node_cell(ValueWord w) { return word_tag(w) == TAG_NODE ? dw_cell(w) : nullptr; }

// A declared item: a bare name, or an assignment whose target is a bare
// name. *name gets the name word.
bool declared_item(ValueWord w, ValueWord* name) {
    if (is_bare_name(w)) {
        *name = w;
        return true;
    }
    Cell* c = node_cell(w);
    if (!c || node_op(c) != OP_ASSIGN || node_count(c) != 2) return false;
    if (!is_bare_name(c->d4)) return false;
    *name = c->d4;
    return true;
}

// read_expression_list consumes a `;` that ends the list; statement
// handlers leave it for the caller (parse_statement, or the expression
// reader of a switch body) and return its position instead.
char* unconsume_semicolon(char* from, char* q) {
    if (q > from && q[-1] == ';') return q - 1;
    return q;
}

// A parenthesised part: `(` at p, the matching `)` found and a zero
// written over it while the inside is read.
struct Paren {
    char* open;
    char* close;
};

bool open_paren(char* p, Paren* out) {
    if (*p != '(') return false;
    char* close = find_closing(p + 1, ')', '(');
    if (!close) return false;
    out->open = p;
    out->close = close;
    *close = '\0';
    return true;
}

void close_paren(const Paren& par) { *par.close = ')'; }

// Reads the inside of a parenthesised part as exactly one expression (the
// list must use up the inside). Returns false when it does not.
bool read_single(const Paren& par, int limit, ValueWord* out) {
    ValueWord items[256];
    int n = 0;
    char* q = read_expression_list(par.open + 1, items, limit, &n, false);
    q = skip_whitespace(q);
    if (*q != '\0' || n != 1) return false;
    *out = items[0];
    return true;
}

// Statement parse that leaves a final `;` unconsumed: returns its position
// (or the position after the statement when none ends it).
char* parse_statement_open(char* p, ValueWord* out);

// Parses the statements of a text until its end into list (not retained:
// the node that takes them retains them).
void parse_statements_into(char* text, StatementList* list, bool retain) {
    char* p = text;
    for (;;) {
        p = skip_whitespace(p);
        if (*p == '\0') break;
        if (*p == ';') {
            ++p;
            continue;
        }
        ValueWord node = 0;
        p = parse_statement(p, &node);
        if (node != 0) statement_list_append(list, retain ? value_retain(node) : node);
    }
}

// Frees a temporary list or buffer also when a parse error unwinds through
// (debugger evaluation texts fail without ending the run).
struct ListGuard {
    StatementList* list;
    ~ListGuard() { statement_list_free(list); }
};
struct BufferGuard {
    void* mem;
    ~BufferGuard() { std::free(mem); }
};

// ---- Block scopes ----

struct ScopeMark {
    uint32_t mark;
};

ScopeMark open_scope() {
    ScopeMark saved{g_block_mark};
    g_block_mark = g_block_names.count;
    ++g_parse.block_depth;
    return saved;
}

void close_scope(ScopeMark saved) {
    g_block_names.count = g_block_mark;
    g_block_mark = saved.mark;
    --g_parse.block_depth;
}

// ---- Handlers ----


char* h_var(char* p, ValueWord* out, char* start, uint32_t pos) {
    ValueWord items[256];
    int n = 0;
    char* q = read_expression_list(p, items, 256, &n, false);
    if (n == 0) report_parse_error(1025, "フォーマット不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    for (int i = 0; i < n; ++i) {
        ValueWord name;
        if (!declared_item(items[i], &name))
            report_parse_error(1025, "フォーマット不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
        declare_var(word_payload(name));
    }
    *out = make_node(OP_VAR, items, static_cast<uint32_t>(n), pos, start);
    g_parse.function_ended = true;
    return unconsume_semicolon(p, q);
}

// Whether a let/const name is already declared where this declaration
// stands.
bool lexical_duplicate(uint32_t name) {
    if (g_parse.block_depth > 0) return name_list_has(&g_block_names, g_block_mark, name);
    if (g_parse.function_depth > 0 && name_list_has(&g_function_vars, g_function_mark, name)) return true;
    if (name_list_has(&g_global_vars, 0, name)) return true;
    // Module level: names of earlier top-level let/const too.
    return name_list_has(&g_block_names, 0, name);
}

char* lexical_list(char* p, ValueWord* out, char* start, uint32_t pos, uint32_t op, const char* word) {
    ValueWord items[256];
    int n = 0;
    char* q = read_expression_list(p, items, 256, &n, false);
    if (n == 0)
        report_parse_error(1030, "フォーマット不正 '%s' in '%s'", word, error_excerpt(start, EXCERPT_STATEMENT));
    for (int i = 0; i < n; ++i) {
        ValueWord name;
        if (!declared_item(items[i], &name))
            report_parse_error(1030, "フォーマット不正 '%s' in '%s'", word, error_excerpt(start, EXCERPT_STATEMENT));
        uint32_t index = word_payload(name);
        if (lexical_duplicate(index))
            report_parse_error(1035, "'%s'内で変数名の重複 '%s'", word, error_excerpt(start, EXCERPT_STATEMENT));
        name_list_push(&g_block_names, index);
    }
    *out = make_node(op, items, static_cast<uint32_t>(n), pos, start);
    g_parse.function_ended = true;
    return unconsume_semicolon(p, q);
}

char* h_let(char* p, ValueWord* out, char* start, uint32_t pos) {
    return lexical_list(p, out, start, pos, OP_LET, "let");
}

char* h_const(char* p, ValueWord* out, char* start, uint32_t pos) {
    return lexical_list(p, out, start, pos, OP_CONST, "const");
}

[[noreturn]] void fail_if(char* start) {
    report_parse_error(1075, "ステートメント不正 '%s", error_excerpt(start, EXCERPT_STATEMENT));
}

char* h_if(char* p, ValueWord* out, char* start, uint32_t pos) {
    p = skip_whitespace(p);
    Paren par;
    if (!open_paren(p, &par)) fail_if(start);
    ValueWord ops[3] = {0, 0, 0};
    bool ok = read_single(par, 10, &ops[0]);
    close_paren(par);
    if (!ok) fail_if(start);
    char* q = parse_statement_open(par.close + 1, &ops[1]);
    uint32_t count = 2;
    // `else` may follow the `;` that ends the then-part.
    const char* after = q;
    if (*after == ';') ++after;
    after = skip_blanks_peek(after);
    if (at_word(after, "else")) {
        char* e = q;
        if (*e == ';') ++e;
        e = skip_whitespace(e) + 4;
        q = parse_statement_open(e, &ops[2]);
        count = 3;
    }
    *out = make_node(OP_IF, ops, count, pos, start);
    g_parse.function_ended = true;
    return q;
}

char* h_while(char* p, ValueWord* out, char* start, uint32_t pos) {
    p = skip_whitespace(p);
    char* word_end = p;
    Paren par;
    ValueWord ops[2] = {0, 0};
    bool ok = open_paren(p, &par);
    if (ok) {
        ok = read_single(par, 8, &ops[0]);
        close_paren(par);
    }
    if (!ok) report_parse_error(1080, "ステートメント不正 'while %s", error_excerpt(word_end, EXCERPT_STATEMENT));
    char* q = parse_statement_open(par.close + 1, &ops[1]);
    *out = make_node(OP_WHILE, ops, 2, pos, start);
    g_parse.function_ended = true;
    return q;
}

char* h_do(char* p, ValueWord* out, char* start, uint32_t pos) {
    ValueWord ops[2] = {0, 0};
    char* q = parse_statement_open(p, &ops[0]);
    if (*q == ';') ++q;
    q = skip_whitespace(q);
    if (!at_word(q, "while"))
        report_parse_error(1085, "ステートメント不正 'do %s %s", "", error_excerpt(q, EXCERPT_STATEMENT));
    char* after_while = skip_whitespace(q + 5);
    q = after_while;
    Paren par;
    bool ok = open_paren(q, &par);
    if (ok) {
        ok = read_single(par, 4, &ops[1]);
        close_paren(par);
    }
    if (!ok)
        report_parse_error(1085, "ステートメント不正 'do %s %s", "... while",
                           error_excerpt(after_while, EXCERPT_STATEMENT));
    q = par.close + 1;
    // An optional `;` is left for the caller.
    const char* peek = skip_blanks_peek(q);
    if (*peek == ';') q = skip_whitespace(q);
    *out = make_node(OP_DO, ops, 2, pos, start);
    g_parse.function_ended = true;
    return q;
}

[[noreturn]] void fail_for(char* after_word) {
    report_parse_error(1090, "ステートメント不正 'for %s'", error_excerpt(after_word, EXCERPT_STATEMENT));
}

// The end of the string or template literal opening at `s` (the closing
// quote), or null when it does not close. A template's ${...} parts may
// hold literals of their own.
char* skip_quoted(char* s) {
    char quote = *s;
    for (char* t = s + 1; *t; ++t) {
        if (*t == '\\') {
            if (!t[1]) return nullptr;
            ++t;
            continue;
        }
        if (*t == quote) return t;
        if (quote == '`' && t[0] == '$' && t[1] == '{') {
            int depth = 0;
            for (t += 1; *t; ++t) {
                if (*t == '"' || *t == '\'' || *t == '`') {
                    t = skip_quoted(t);
                    if (!t) return nullptr;
                } else if (*t == '{') {
                    ++depth;
                } else if (*t == '}' && --depth == 0) {
                    break;
                }
            }
            if (!*t) return nullptr;
        }
    }
    return nullptr;
}

// The first `;` of a for header outside string, template and RegExp
// literals and not preceded by an odd number of backslashes.
char* find_for_semicolon(char* text) {
    for (char* s = text; *s; ++s) {
        if (*s == '"' || *s == '\'' || *s == '`') {
            char* close = skip_quoted(s);
            if (!close) return nullptr;
            s = close;
            continue;
        }
        if (*s == '/') {
            const char* re = skip_regexp_literal(text, s);
            if (re) {
                s = const_cast<char*>(re) - 1;
                continue;
            }
        }
        if (*s != ';') continue;
        int backslashes = 0;
        for (char* b = s; b > text && b[-1] == '\\'; --b) ++backslashes;
        if (backslashes % 2 == 0) return s;
    }
    return nullptr;
}

char* h_for(char* p, ValueWord* out, char* start, uint32_t pos) {
    p = skip_whitespace(p);
    char* word_end = p;
    Paren par;
    if (!open_paren(p, &par)) fail_for(word_end);
    char* inner = par.open + 1;
    // The loop's own scope: a `let` of its head belongs to the loop, so two
    // loops in one block may both declare `let i`.
    ScopeMark scope = open_scope();
    char* semi = find_for_semicolon(inner);
    if (semi) {
        ValueWord init[256], cond[256], update[256];
        int ni = 0, nc = 0, nu = 0;
        *semi = '\0';
        char* q = read_expression_list(inner, init, 256, &ni, false);
        q = skip_whitespace(q);
        *semi = ';';
        if (q != semi) {
            close_paren(par);
            fail_for(word_end);
        }
        q = read_expression_list(semi + 1, cond, 256 - ni, &nc, false);
        if (nc != 1) {
            close_paren(par);
            fail_for(word_end);
        }
        if (q > semi + 1 && q[-1] == ';') {
            int limit = 254 - ni;
            if (limit < 1) limit = 1;
            q = read_expression_list(q, update, limit, &nu, false);
        }
        q = skip_whitespace(q);
        close_paren(par);
        if (*q != ')' || q != par.close) fail_for(word_end);
        uint32_t total = static_cast<uint32_t>(ni + 1 + nu);
        ValueWord* words;
        uint32_t addr = alloc_record(sizeof(ValueWord) * total, &words);
        uint32_t k = 0;
        for (int i = 0; i < ni; ++i) words[k++] = value_retain(init[i]);
        words[k++] = value_retain(cond[0]);
        for (int i = 0; i < nu; ++i) words[k++] = value_retain(update[i]);
        ValueWord ops[3];
        ops[0] = addr;
        ops[1] = (static_cast<uint32_t>(ni) << 16) | static_cast<uint32_t>(nu);
        ops[2] = 0;
        char* end = parse_statement_open(par.close + 1, &ops[2]);
        close_scope(scope);
        *out = make_node(OP_FOR, ops, 3, pos, start);
        g_parse.function_ended = true;
        return end;
    }
    // for ([var|let|const] name of|in expression)
    char* q = skip_whitespace(inner);
    uint32_t kind = FOR_DECL_LET;
    bool is_var = false;
    if (at_word(q, "var")) {
        kind = FOR_DECL_VAR;
        is_var = true;
        q = skip_whitespace(q + 3);
    } else if (at_word(q, "let")) {
        q = skip_whitespace(q + 3);
    } else if (at_word(q, "const")) {
        kind = FOR_DECL_CONST;
        q = skip_whitespace(q + 5);
    }
    if (!is_ident_start(static_cast<unsigned char>(*q))) {
        close_paren(par);
        fail_for(word_end);
    }
    uint32_t name = 0;
    q = skip_whitespace(read_identifier(q, &name));
    uint32_t op;
    if (at_word(q, "of")) {
        op = OP_FOR_OF;
    } else if (at_word(q, "in")) {
        op = OP_FOR_IN;
    } else {
        close_paren(par);
        fail_for(word_end);
    }
    q += 2;
    ValueWord items[4];
    int n = 0;
    q = skip_whitespace(read_expression_list(q, items, 4, &n, false));
    close_paren(par);
    if (n != 1 || q != par.close) fail_for(word_end);
    if (is_var) declare_var(name);
    ValueWord ops[4] = {name_word(name), items[0], 0, kind};
    char* end = parse_statement_open(par.close + 1, &ops[2]);
    close_scope(scope);
    *out = make_node(op, ops, 4, pos, start);
    g_parse.function_ended = true;
    return end;
}

[[noreturn]] void fail_try(bool after_try, const char* part, const char* at) {
    report_parse_error(1095, "ステートメント不正 in '%s%s%s %s'", "try", after_try ? " ... " : "", part,
                       error_excerpt(at, EXCERPT_STATEMENT));
}

char* h_try(char* p, ValueWord* out, char* start, uint32_t pos) {
    p = skip_whitespace(p);
    if (*p != '{') fail_try(false, "", p);
    ValueWord ops[3] = {0, 0, 0};
    p = parse_block(p, &ops[0], nullptr);
    char* q = skip_whitespace(p);
    bool has_catch = false, has_finally = false;
    if (at_word(q, "catch")) {
        has_catch = true;
        char* c = skip_whitespace(q + 5);
        Paren par;
        if (!open_paren(c, &par)) fail_try(true, "catch", c);
        char* n = skip_whitespace(par.open + 1);
        uint32_t name = 0;
        bool ok = is_ident_start(static_cast<unsigned char>(*n));
        if (ok) {
            n = skip_whitespace(read_identifier(n, &name));
            ok = n == par.close;
        }
        close_paren(par);
        if (!ok) fail_try(true, "catch", par.open);
        c = skip_whitespace(par.close + 1);
        if (*c != '{') fail_try(true, "catch", c);
        ValueWord block = 0;
        p = parse_block(c, &block, nullptr);
        ValueWord* rec;
        ops[1] = alloc_record(2 * sizeof(ValueWord), &rec);
        rec[0] = name_word(name);
        rec[1] = value_retain(block);
        // Look for `finally` without counting lines: when none follows, the
        // caller skips (and counts) this whitespace itself.
        q = const_cast<char*>(skip_blanks_peek(p));
        if (at_word(q, "finally")) q = skip_whitespace(p);
    }
    if (at_word(q, "finally")) {
        has_finally = true;
        char* f = skip_whitespace(q + 7);
        if (*f != '{') fail_try(true, "finally", f);
        p = parse_block(f, &ops[2], nullptr);
    }
    if (!has_catch && !has_finally) fail_try(true, "", q);
    *out = make_node(OP_TRY, ops, has_finally ? 3 : 2, pos, start);
    g_parse.function_ended = true;
    return p;
}

char* h_throw(char* p, ValueWord* out, char* start, uint32_t pos) {
    ValueWord items[4];
    int n = 0;
    char* q = read_expression_list(p, items, 4, &n, false);
    if (n != 1) report_parse_error(1100, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_SHORT));
    *out = make_node(OP_THROW, items, 1, pos, start);
    g_parse.function_ended = true;
    return unconsume_semicolon(p, q);
}

char* jump_statement(char* p, ValueWord* out, char* start, uint32_t pos, uint32_t op, int code) {
    char* q = skip_whitespace(p);
    if (*q != ';') report_parse_error(code, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_SHORT));
    *out = make_node(op, nullptr, 0, pos, start);
    g_parse.function_ended = true;
    return q;
}

char* h_break(char* p, ValueWord* out, char* start, uint32_t pos) {
    return jump_statement(p, out, start, pos, OP_BREAK, 1105);
}

char* h_continue(char* p, ValueWord* out, char* start, uint32_t pos) {
    return jump_statement(p, out, start, pos, OP_CONTINUE, 1110);
}

char* h_return(char* p, ValueWord* out, char* start, uint32_t pos) {
    ValueWord items[8];
    int n = 0;
    char* q = read_expression_list(p, items, 8, &n, false);
    if (n > 1) report_parse_error(1115, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_SHORT));
    *out = make_node(OP_RETURN, items, static_cast<uint32_t>(n), pos, start);
    g_parse.function_ended = true;
    return unconsume_semicolon(p, q);
}

// ---- switch ----

constexpr int SWITCH_MAX_CASES = 1022;

[[noreturn]] void fail_switch(const char* after_word) {
    report_parse_error(1160, "ステートメント不正 '%s %s'", "switch", error_excerpt(after_word, EXCERPT_STATEMENT));
}

char* h_switch(char* p, ValueWord* out, char* start, uint32_t pos) {
    p = skip_whitespace(p);
    char* word_end = p;
    Paren par;
    if (!open_paren(p, &par)) fail_switch(word_end);
    ValueWord disc = 0;
    bool ok = read_single(par, 128, &disc);
    close_paren(par);
    if (!ok) fail_switch(word_end);
    char* open = skip_whitespace(par.close + 1);
    if (*open != '{') fail_switch(word_end);
    char* close = find_closing(open + 1, '}', '{');
    if (!close) fail_switch(word_end);
    *close = '\0';

    // Case table: entries 0 and 1 are filled at the end.
    static_assert(SWITCH_MAX_CASES + 2 == 1024, "case table of 1024 entries");
    ValueWord* table = static_cast<ValueWord*>(std::malloc(sizeof(ValueWord) * 2 * 1024));
    if (!table) report_error(1400, "%s", MSG_NO_MEMORY);
    BufferGuard table_guard{table};
    uint32_t cases = 0;
    uint32_t default_index = 0;
    bool has_default = false;
    StatementList body = {};
    ListGuard body_guard{&body};

    char* r = skip_whitespace(open + 1);
    if (!at_word(r, "case")) {
        *close = '}';
        report_parse_error(1155, "ステートメント不正 'switch %s'", error_excerpt(word_end, EXCERPT_STATEMENT));
    }
    for (;;) {
        r = skip_whitespace(r);
        if (*r == '\0') break;
        if (at_word(r, "case")) {
            if (cases == SWITCH_MAX_CASES) {
                *close = '}';
                report_parse_error(1150, "switch文のcaseが多すぎます 'switch %s'",
                                   error_excerpt(word_end, EXCERPT_STATEMENT));
            }
            char* colon = find_unquoted(r + 4, ':');
            if (!colon) {
                *close = '}';
                fail_switch(word_end);
            }
            *colon = '\0';
            ValueWord items[4];
            int n = 0;
            char* q = skip_whitespace(read_expression_list(r + 4, items, 4, &n, false));
            *colon = ':';
            if (n != 1 || q != colon || items[0] == W_UNDEFINED) {
                *close = '}';
                fail_switch(word_end);
            }
            table[2 * (2 + cases)] = value_retain(items[0]);
            table[2 * (2 + cases) + 1] = body.count;
            ++cases;
            r = colon + 1;
        } else if (at_word(r, "default")) {
            char* c = skip_whitespace(r + 7);
            if (*c != ':' || has_default) {
                *close = '}';
                fail_switch(word_end);
            }
            default_index = body.count;
            has_default = true;
            r = c + 1;
        } else {
            ValueWord items[128];
            int n = 0;
            char* q = read_expression_list(r, items, 128, &n, false);
            for (int i = 0; i < n; ++i) statement_list_append(&body, value_retain(items[i]));
            if (q == r) {
                *close = '}';
                fail_switch(word_end);
            }
            r = q;
        }
    }
    *close = '}';
    if (body.count == 0 || cases == 0) {
        report_parse_error(1155, "ステートメント不正 'switch %s'", error_excerpt(word_end, EXCERPT_STATEMENT));
    }
    table[0] = cases + 2;
    table[1] = body.count;
    table[2] = 0;
    table[3] = default_index;

    ValueWord* rec;
    uint32_t rec_addr = alloc_record(4 * sizeof(ValueWord), &rec);
    ValueWord* words;
    uint32_t table_addr = alloc_record(sizeof(ValueWord) * 2 * (cases + 2), &words);
    std::memcpy(words, table, sizeof(ValueWord) * 2 * (cases + 2));
    uint32_t stmts_addr = alloc_record(sizeof(ValueWord) * body.count, &words);
    std::memcpy(words, body.items, sizeof(ValueWord) * body.count);
    rec[0] = value_retain(disc);
    rec[1] = table_addr;
    rec[2] = stmts_addr;
    rec[3] = has_default ? 1 : 0;
    ValueWord op = rec_addr;
    *out = make_node(OP_SWITCH, &op, 1, pos, start);
    g_parse.function_ended = true;
    return close + 1;
}

// ---- Built-in statement forms ----

enum FormStyle : uint8_t { FORM_GENERAL, FORM_ONE_ARG, FORM_PARSE_INT, FORM_SEND_TO_FRONT, FORM_ALERT };

struct Form {
    uint8_t op;
    uint8_t style;
    int min;
    int max;  // -1: no upper bound
    int limit;
};

const Form* form_of(int kind) {
    static const Form select{OP_SELECT, FORM_GENERAL, 2, 2, 256};
    static const Form select_exists{OP_SELECT_EXISTS, FORM_GENERAL, 2, 2, 256};
    static const Form select_hash{OP_SELECT_HASH, FORM_GENERAL, 2, 2, 256};
    static const Form select_into{OP_SELECT_INTO, FORM_GENERAL, 3, -1, 256};
    static const Form select_to_front{OP_SELECT_TO_FRONT, FORM_GENERAL, 3, 3, 256};
    static const Form select_hash_to_front{OP_SELECT_HASH_TO_FRONT, FORM_GENERAL, 3, 3, 256};
    static const Form record_map{OP_RECORD_MAP, FORM_GENERAL, 3, 3, 256};
    static const Form record_hash{OP_RECORD_HASH, FORM_GENERAL, 2, 3, 256};
    static const Form sql_aggregate{OP_SQL_AGGREGATE, FORM_GENERAL, 3, 4, 256};
    static const Form parse_int{OP_PARSE_INT, FORM_PARSE_INT, 0, 2, 80};
    static const Form send_to_front{OP_SEND_TO_FRONT, FORM_SEND_TO_FRONT, 1, 2, 80};
    static const Form execute{OP_EXECUTE, FORM_GENERAL, 2, 3, 256};
    static const Form open_db{OP_OPEN_DB, FORM_GENERAL, 3, 3, 256};
    static const Form close_db{OP_CLOSE_DB, FORM_GENERAL, 1, 2, 256};
    static const Form decode_uri{OP_DECODE_URI, FORM_ONE_ARG, 1, 1, 256};
    static const Form decode_uri_component{OP_DECODE_URI_COMPONENT, FORM_ONE_ARG, 1, 1, 256};
    static const Form eval{OP_EVAL, FORM_ONE_ARG, 1, 1, 256};
    static const Form encode_uri{OP_ENCODE_URI, FORM_ONE_ARG, 1, 1, 256};
    static const Form encode_uri_component{OP_ENCODE_URI_COMPONENT, FORM_ONE_ARG, 1, 1, 256};
    static const Form parse_float{OP_PARSE_FLOAT, FORM_ONE_ARG, 1, 1, 256};
    static const Form alert_to_front{OP_ALERT_TO_FRONT, FORM_ALERT, 1, 1, 80};
    switch (kind) {
    case KW_SELECT: return &select;
    case KW_SELECT_EXISTS: return &select_exists;
    case KW_SELECT_HASH: return &select_hash;
    case KW_SELECT_INTO: return &select_into;
    case KW_SELECT_TO_FRONT: return &select_to_front;
    case KW_SELECT_HASH_TO_FRONT: return &select_hash_to_front;
    case KW_RECORD_MAP: return &record_map;
    case KW_RECORD_HASH: return &record_hash;
    case KW_SQL_AGGREGATE: return &sql_aggregate;
    case KW_PARSE_INT: return &parse_int;
    case KW_SEND_TO_FRONT: return &send_to_front;
    case KW_EXECUTE: return &execute;
    case KW_OPEN_DB: return &open_db;
    case KW_CLOSE_DB: return &close_db;
    case KW_DECODE_URI: return &decode_uri;
    case KW_DECODE_URI_COMPONENT: return &decode_uri_component;
    case KW_EVAL: return &eval;
    case KW_ENCODE_URI: return &encode_uri;
    case KW_ENCODE_URI_COMPONENT: return &encode_uri_component;
    case KW_PARSE_FLOAT: return &parse_float;
    case KW_ALERT_TO_FRONT: return &alert_to_front;
    default: return nullptr;
    }
}

[[noreturn]] void fail_form(const Form& f, bool no_paren, const char* start) {
    switch (f.style) {
    case FORM_ONE_ARG:
        if (no_paren) report_parse_error(1215, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
        report_parse_error(1220, "引数の個数不正 '%s'", error_excerpt(start, EXCERPT_SHORT));
    case FORM_PARSE_INT:
        report_parse_error(1225, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    case FORM_SEND_TO_FRONT:
        report_parse_error(1230, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    case FORM_ALERT:
        report_parse_error(1235, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    default:
        report_parse_error(1210, "ステートメント不正(引数の数) '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    }
}

template <int Kind>
char* h_form(char* p, ValueWord* out, char* start, uint32_t pos) {
    const Form& f = *form_of(Kind);
    char* q = skip_whitespace(p);
    if (*q != '(') fail_form(f, true, start);
    ValueWord args[256];
    int n = 0;
    q = read_call_arguments(q, args, f.limit, &n, start);
    bool ok = n >= f.min && (f.max < 0 || n <= f.max);
    if (ok && f.style == FORM_SEND_TO_FRONT && n == 1) {
        uint32_t tag = word_tag(args[0]);
        ok = tag == TAG_STRING || tag == TAG_NAME;
    }
    if (!ok) fail_form(f, false, start);
    *out = make_node(f.op, args, static_cast<uint32_t>(n), pos, start);
    return q;
}

char* h_reserved(char* p, ValueWord* out, char* start, uint32_t pos) {
    (void)p;
    (void)out;
    (void)pos;
    report_parse_error(1211, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
}

// Statement kinds whose handlers build a value (the built-in forms): at
// statement start they are read through the expression reader, so that
// `parseInt(s) + 1;` or `eval(t).length;` continue as one expression.
bool is_value_form(int kind) { return form_of(kind) != nullptr; }

// Statements nested deeper than this (blocks in blocks, `if` in `if`) are
// refused, so that no script text can exhaust the host stack.
constexpr int STATEMENT_DEPTH_MAX = 1000;
int g_statement_depth = 0;

char* parse_statement_open(char* p, ValueWord* out) {
    struct Depth {
        Depth() { ++g_statement_depth; }
        ~Depth() { --g_statement_depth; }
    } depth;
    *out = 0;
    p = skip_whitespace(p);
    if (g_statement_depth > STATEMENT_DEPTH_MAX)
        report_parse_error(1120, "ステートメントの演算子不正 '%s'", error_excerpt(p, EXCERPT_STATEMENT));
    if (*p == '{') return parse_block(p, out, nullptr);
    char* start = p;
    uint32_t pos = source_position(p);
    char* q = p;
    int kind = recognize_keyword(q);
    if (kind >= 0 && !is_value_form(kind)) return g_statement_handlers[kind](q, out, start, pos);
    ValueWord items[18];
    int n = 0;
    q = read_expression_list(p, items, 18, &n, false);
    if (n > 1) report_parse_error(1000, "ステートメント不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    if (n == 1) *out = items[0];
    return unconsume_semicolon(p, q);
}

}  // namespace

const StatementHandler g_statement_handlers[STATEMENT_KINDS] = {
    h_break,                           // 0 break
    h_if,                              // 1 if
    h_let,                             // 2 let
    h_return,                          // 3 return
    h_form<KW_RECORD_MAP>,             // 4 record_map
    h_form<KW_RECORD_HASH>,            // 5 record_hash
    h_reserved, h_reserved, h_reserved, h_reserved,  // 6-9 redis_
    h_reserved, h_reserved, h_reserved, h_reserved,  // 10-13 redis_
    h_var,                             // 14 var
    h_while,                           // 15 while
    h_form<KW_OPEN_DB>,                // 16 openDb
    h_form<KW_CLOSE_DB>,               // 17 closeDb
    h_const,                           // 18 const
    h_continue,                        // 19 continue
    h_do,                              // 20 do
    h_form<KW_DECODE_URI>,             // 21 decodeURI
    h_form<KW_DECODE_URI_COMPONENT>,   // 22 decodeURIComponent
    h_form<KW_EVAL>,                   // 23 eval
    h_form<KW_EXECUTE>,                // 24 execute
    h_form<KW_ENCODE_URI>,             // 25 encodeURI
    h_form<KW_ENCODE_URI_COMPONENT>,   // 26 encodeURIComponent
    h_for,                             // 27 for
    parse_function,                    // 28 function
    h_form<KW_SELECT>,                 // 29 select
    h_form<KW_SELECT_HASH>,            // 30 selectHash
    h_form<KW_SELECT_INTO>,            // 31 selectInto
    h_form<KW_SELECT_TO_FRONT>,        // 32 selectToFront
    h_form<KW_SELECT_HASH_TO_FRONT>,   // 33 selectHashToFront
    h_form<KW_SEND_TO_FRONT>,          // 34 sendToFront
    h_switch,                          // 35 switch
    h_form<KW_SELECT_EXISTS>,          // 36 selectExists
    h_form<KW_SQL_AGGREGATE>,          // 37 sql_aggregate
    h_throw,                           // 38 throw
    h_try,                             // 39 try
    h_form<KW_PARSE_INT>,              // 40 parseInt
    h_form<KW_PARSE_FLOAT>,            // 41 parseFloat
    h_form<KW_ALERT_TO_FRONT>,         // 42 alertToFront
    h_reserved, h_reserved, h_reserved, h_reserved, h_reserved,  // 43-47 mongo_
    h_reserved, h_reserved, h_reserved, h_reserved, h_reserved,  // 48-52
    h_reserved, h_reserved, h_reserved, h_reserved, h_reserved,  // 53-57
    h_reserved, h_reserved, h_reserved, h_reserved, h_reserved,  // 58-62
    h_reserved, h_reserved, h_reserved, h_reserved, h_reserved,  // 63-67
};

void declare_var(uint32_t name) {
    if (g_parse.function_depth > 0) {
        if (name_list_has(&g_function_params, g_param_mark, name)) return;
        if (!name_list_has(&g_function_vars, g_function_mark, name)) name_list_push(&g_function_vars, name);
    } else if (!name_list_has(&g_global_vars, 0, name)) {
        name_list_push(&g_global_vars, name);
    }
}

void statement_list_append(StatementList* list, ValueWord node) {
    if (list->count == list->cap) {
        uint32_t cap = list->cap + 2048;
        ValueWord* grown;
        if (list->owned || list->items == nullptr) {
            grown = static_cast<ValueWord*>(std::realloc(list->owned ? list->items : nullptr,
                                                         sizeof(ValueWord) * cap));
        } else {
            // Storage given by someone else: copy, never free it.
            grown = static_cast<ValueWord*>(std::malloc(sizeof(ValueWord) * cap));
            if (grown && list->count) std::memcpy(grown, list->items, sizeof(ValueWord) * list->count);
        }
        if (!grown) report_error(1400, "%s", MSG_NO_MEMORY);
        list->items = grown;
        list->cap = cap;
        list->owned = true;
    }
    list->items[list->count++] = node;
}

void statement_list_free(StatementList* list) {
    if (list->owned) std::free(list->items);
    *list = StatementList{};
}

char* parse_statement(char* p, ValueWord* out) {
    char* q = parse_statement_open(p, out);
    const char* peek = skip_blanks_peek(q);
    if (*peek == ';') q = skip_whitespace(q) + 1;
    return q;
}

char* parse_block(char* p, ValueWord* out, uint32_t* last_line) {
    uint32_t pos = source_position(p);
    char* close = find_closing(p + 1, '}', '{');
    if (!close) report_parse_error(1145, "ステートメント不正 '{ %s'", error_excerpt(p + 1, EXCERPT_STATEMENT));
    ScopeMark scope = open_scope();
    StatementList list = {};
    ListGuard guard{&list};
    *close = '\0';
    parse_statements_into(p + 1, &list, false);
    *close = '}';
    if (last_line) *last_line = g_run.current_line;
    close_scope(scope);
    *out = make_node(OP_BLOCK, list.items, list.count, pos, p);
    return close + 1;
}

char* parse_statement_list(char* text, StatementList* list, bool retain, bool eval_mode) {
    // Parser state to put back if the text fails (debugger evaluation
    // texts fail without ending the run).
    ParseState saved = g_parse;
    uint32_t saved_block_mark = g_block_mark, saved_function_mark = g_function_mark;
    uint32_t saved_blocks = g_block_names.count, saved_functions = g_function_vars.count;
    if (eval_mode) g_parse.no_stop = true;
    g_parse.function_ended = false;
    g_parse.ended_with_function = false;
    char* p = text;
    try {
        for (;;) {
            p = skip_whitespace(p);
            if (*p == '\0') break;
            if (*p == ';') {
                ++p;
                continue;
            }
            ValueWord node = 0;
            p = parse_statement(p, &node);
            if (node == 0) continue;
            statement_list_append(list, retain ? value_retain(node) : node);
            bool fn = word_tag(node) == TAG_FUNCTION;
            Cell* c = node_cell(node);
            if (c && node_op(c) == OP_ASSIGN && node_count(c) == 2 && word_tag(c->d8) == TAG_FUNCTION) fn = true;
            g_parse.ended_with_function = fn;
        }
    } catch (...) {
        g_parse.no_stop = saved.no_stop;
        g_parse.function_depth = saved.function_depth;
        g_parse.block_depth = saved.block_depth;
        g_block_mark = saved_block_mark;
        g_function_mark = saved_function_mark;
        g_block_names.count = saved_blocks;
        g_function_vars.count = saved_functions;
        throw;
    }
    g_parse.no_stop = saved.no_stop;
    return p;
}

char* parse_function(char* p, ValueWord* out, char* start, uint32_t pos) {
    uint32_t first_line = g_run.current_line;
    p = skip_whitespace(p);
    uint32_t name = 0;
    bool named = false;
    if (is_ident_start(static_cast<unsigned char>(*p))) {
        char* name_at = p;
        p = skip_whitespace(read_identifier(p, &name));
        if (name < N_PREDEFINED_COUNT)
            report_parse_error(1040, "関数名不正 '%s'", error_excerpt(name_at, EXCERPT_STATEMENT));
        named = true;
        declare_var(name);
    }
    Paren par;
    if (!open_paren(p, &par)) report_parse_error(1050, "フォーマット不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    ValueWord params[256];
    int np = 0;
    char* q = skip_whitespace(read_expression_list(par.open + 1, params, 256, &np, false));
    close_paren(par);
    bool ok = q == par.close;
    for (int i = 0; ok && i < np; ++i) {
        ValueWord n;
        ok = declared_item(params[i], &n);
    }
    if (!ok) report_parse_error(1050, "フォーマット不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));
    p = skip_whitespace(par.close + 1);
    if (*p != '{') report_parse_error(1050, "フォーマット不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));

    uint32_t saved_mark = g_function_mark;
    uint32_t saved_param_mark = g_param_mark;
    g_function_mark = g_function_vars.count;
    g_param_mark = g_function_params.count;
    for (int i = 0; i < np; ++i) {
        ValueWord n;
        declared_item(params[i], &n);
        name_list_push(&g_function_params, word_payload(n));
    }
    ++g_parse.function_depth;
    ValueWord body = 0;
    uint32_t last_line = 0;
    try {
        p = parse_block(p, &body, &last_line);
    } catch (...) {
        g_function_params.count = g_param_mark;
        g_param_mark = saved_param_mark;
        throw;
    }
    g_function_params.count = g_param_mark;
    g_param_mark = saved_param_mark;
    uint32_t locals = g_function_vars.count - g_function_mark;
    if (locals > 255) report_parse_error(1050, "フォーマット不正 '%s'", error_excerpt(start, EXCERPT_STATEMENT));

    uint32_t names_addr = 0;
    uint32_t total = static_cast<uint32_t>(np) + locals;
    if (total > 0) {
        ValueWord* words;
        names_addr = alloc_record(sizeof(ValueWord) * total, &words);
        for (int i = 0; i < np; ++i) words[i] = value_retain(params[i]);
        for (uint32_t i = 0; i < locals; ++i) words[np + i] = name_word(g_function_vars.names[g_function_mark + i]);
    }
    g_function_vars.count = g_function_mark;
    g_function_mark = saved_mark;
    --g_parse.function_depth;

    ValueWord fw = 0;
    Cell* c = dw_alloc(TAG_FUNCTION, &fw, 0);
    c->b1 = static_cast<uint8_t>(g_parse.module & 0xFFu);
    c->b2 = static_cast<uint8_t>(np);
    c->b3 = static_cast<uint8_t>(locals);
    fn_body(c) = value_retain(body);
    fn_names(c) = names_addr;
    c->d12 = (first_line & 0xFFFFu) | ((last_line & 0xFFFFu) << 16);

    if (named) {
        ValueWord ops[2] = {name_word(name), fw};
        *out = make_node(OP_ASSIGN, ops, 2, pos, start);
    } else {
        *out = fw;
    }
    g_parse.function_ended = true;
    return p;
}

void parser_reset(bool drop_program) {
    g_parse = ParseState{};
    g_global_vars.count = 0;
    g_function_vars.count = 0;
    g_function_params.count = 0;
    g_param_mark = 0;
    g_block_names.count = 0;
    g_function_mark = 0;
    g_block_mark = 0;
    if (drop_program) statement_list_free(&g_program);
}

}  // namespace velt
