#include "parser/expr.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

RegexpLiteralHook regexp_literal_hook = nullptr;

const ExprRules g_default_expr_rules = {TOKEN_ROW_SLOTS - 1, 1120, "ステートメントの演算子不正 '%s'", 1125,
                                        "フォーマット不正 '%s'"};

namespace {

const ExprRules g_json_rules = {TOKEN_ROW_SLOTS - 1, 1060, "JSON文字列の演算子不正 '%s'", 1065,
                                "JSON文字列フォーマット不正 '%s'"};

const char* const MSG_STATEMENT_1015 = "ステートメント不正(%s)";
const char* const MSG_ARGCOUNT_1020 = "引数の個数不正 '%s'";
const char* const MSG_LIMIT_1123 = "引数の数不正 '%s'";
const char* const MSG_MISSING_1130 = "ステートメント不正 ('%.1s'なし) %.1s%s";
const char* const MSG_LEFTOVER_1135 = "ステートメント不正 ('%s') in %.1s%s";
const char* const MSG_KEY_1140 = "文字列のフォーマット不正 '%s'";

// Row-internal code of a prefix minus (`-x` at operand position): reduced
// like the other prefix operators into a subtraction from 0.
constexpr uint8_t ROW_NEGATE = 99;
// Operand slots carry code 1 (every code up to 30 counts as an operand).
constexpr uint8_t ROW_OPERAND = 1;
constexpr int LEVELS = 23;
// Nested bracket reads deeper than this fail (each level holds a row).
constexpr int MAX_NESTING = 200;

int g_nesting = 0;

struct Row {
    ValueWord word[TOKEN_ROW_SLOTS];
    uint8_t op[TOKEN_ROW_SLOTS];
    uint32_t pos[TOKEN_ROW_SLOTS];
    int n;
    bool level[LEVELS];
};

Row* g_rows[MAX_NESTING];

struct ReadCtx {
    const ExprRules* rules;
    bool json;            // ends at a top-level ',' ; a ';' fails with 1055
    bool statement_level; // ends after a function literal at the top level
    const char* start;    // quoted in messages
    bool saw_function;    // a function literal was read somewhere in the list
};

int op_level(uint8_t op) {
    switch (op) {
        case OP_CALL: case OP_INDEX: case OP_MEMBER: case OP_NEW: return 0;
        case OP_POST_INC: case OP_POST_DEC: return 2;
        case OP_PRE_INC: case OP_PRE_DEC: case OP_NOT: case OP_BIT_NOT: case OP_TYPEOF: case ROW_NEGATE:
            return 3;
        case OP_POW: return 4;
        case OP_MUL: case OP_DIV: case OP_MOD: return 5;
        case OP_ADD: case OP_SUB: return 6;
        case OP_SHL: case OP_SHR: case OP_USHR: return 7;
        case OP_GE: case OP_GT: case OP_LE: case OP_LT: case OP_INSTANCEOF: return 8;
        case OP_EQ: case OP_STRICT_EQ: case OP_NE: case OP_STRICT_NE: return 9;
        case OP_BIT_AND: return 10;
        case OP_BIT_XOR: return 11;
        case OP_BIT_OR: return 12;
        case OP_AND: return 13;
        case OP_OR: return 14;
        case OP_COND: case OP_COLON: return 16;
        default: break;
    }
    if (op >= OP_ASSIGN && op <= OP_XOR_ASSIGN) return 17;
    return -1;  // the comma
}

inline bool is_operand_code(uint8_t op) { return op <= 30; }

inline bool slot_empty(const Row& r, int i) { return is_operand_code(r.op[i]) && r.word[i] == EMPTY_SLOT; }
inline bool slot_filled(const Row& r, int i) { return is_operand_code(r.op[i]) && r.word[i] != EMPTY_SLOT; }
inline void clear_slot(Row& r, int i) {
    r.op[i] = ROW_OPERAND;
    r.word[i] = EMPTY_SLOT;
}

// An operator was read last (or nothing): the next token is an operand.
inline bool operand_position(const Row& r) { return r.n == 0 || !is_operand_code(r.op[r.n - 1]); }

[[noreturn]] void fail_reduce(const ReadCtx& c) {
    report_parse_error(c.rules->reduce_code, c.rules->reduce_format, error_excerpt(c.start, EXCERPT_STATEMENT));
}

[[noreturn]] void fail_1015(const ReadCtx& c) {
    report_parse_error(1015, MSG_STATEMENT_1015, error_excerpt(c.start, EXCERPT_SHORT));
}

void push_slot(Row& r, const ReadCtx& c, uint8_t op, ValueWord w, uint32_t pos) {
    if (r.n >= c.rules->max_slots) {
        report_parse_error(c.rules->slots_code, c.rules->slots_format, error_excerpt(c.start, EXCERPT_STATEMENT));
    }
    r.op[r.n] = op;
    r.word[r.n] = w;
    r.pos[r.n] = pos;
    ++r.n;
    int level = op_level(op);
    if (!is_operand_code(op) && level >= 0) r.level[level] = true;
}

inline void push_operand(Row& r, const ReadCtx& c, ValueWord w, uint32_t pos) { push_slot(r, c, ROW_OPERAND, w, pos); }

// ---- Nested bracket reads ----

char* read_row_list(char* text, ValueWord* items, int limit, int* count, bool retain, ReadCtx& ctx);

struct Bracket {
    char* inner;  // text just behind the opening bracket
    char* close;  // the closing bracket (zeroed while the inside is read)
};

Bracket open_bracket(char* open, char close_ch) {
    char* inner = open + 1;
    char* close = find_closing(inner, close_ch, *open);
    if (close == nullptr) {
        char missing[2] = {close_ch, '\0'};
        char opening[2] = {*open, '\0'};
        report_parse_error(1130, MSG_MISSING_1130, missing, opening, error_excerpt(inner, EXCERPT_STATEMENT));
    }
    *close = '\0';
    return {inner, close};
}

// Fails with 1135 when anything but whitespace is left before the close.
void check_leftover(char* q, const Bracket& b, char open_ch) {
    q = skip_whitespace(q);
    if (*q == '\0') return;
    char left[512];
    std::strcpy(left, error_excerpt(q, EXCERPT_REST));
    char opening[2] = {open_ch, '\0'};
    report_parse_error(1135, MSG_LEFTOVER_1135, left, opening, error_excerpt(b.inner, EXCERPT_STATEMENT));
}

// Reads the list inside a bracket pair (nested row, standard rules). The
// items are not retained. Returns the position after the close.
char* read_bracketed(char* open, char close_ch, ValueWord* items, int limit, int* count, ReadCtx& outer) {
    char open_ch = *open;
    Bracket b = open_bracket(open, close_ch);
    ReadCtx inner{&g_default_expr_rules, false, false, b.inner, false};
    char* q = read_row_list(b.inner, items, limit, count, false, inner);
    check_leftover(q, b, open_ch);
    *b.close = close_ch;
    if (inner.saw_function) outer.saw_function = true;
    return b.close + 1;
}

// ---- Built-in names ----

struct BuiltinLimit {
    uint32_t name;
    int op;      // code of the call form, 0: only checked after `new`
    int min;
    int max;
};
const BuiltinLimit g_builtins[] = {
    {N_NUMBER, 0, 0, 1},           {N_INTEGER, OP_INTEGER, 0, 1}, {N_FLOAT, OP_FLOAT, 0, 1},
    {N_DATE, 0, 0, 7},             {N_ERROR, OP_ERROR, 1, 2},     {N_REGEXP, OP_REGEXP, 1, 2},
    {N_STRING, 0, 0, 1},           {N_ARRAY, OP_ARRAY, 0, 256},   {N_EXCEPTION, OP_EXCEPTION, 1, 2},
};

const BuiltinLimit* find_builtin(uint32_t name) {
    for (const BuiltinLimit& b : g_builtins) {
        if (b.name == name) return &b;
    }
    return nullptr;
}

constexpr int ARG_LIMIT = 256;

// Reads `(args)` behind a built-in name or a `new` class name when one
// follows; checks the count against the limits. p is behind the name.
char* read_builtin_args(char* p, const BuiltinLimit* limit, ValueWord* args, int* count, ReadCtx& ctx) {
    const char* peek = skip_blanks_peek(p);
    if (*peek == '.') fail_1015(ctx);
    *count = 0;
    if (*peek == '(') {
        p = skip_whitespace(p);
        p = read_bracketed(p, ')', args, ARG_LIMIT, count, ctx);
    }
    if (limit != nullptr && (*count < limit->min || *count > limit->max)) {
        report_parse_error(1020, MSG_ARGCOUNT_1020, error_excerpt(ctx.start, EXCERPT_SHORT));
    }
    return p;
}

// ---- The token reader ----

// A regular-expression literal; p is just behind the opening '/'.
char* read_regexp(char* p, ValueWord* out, const ReadCtx& ctx) {
    char* q = p;
    // The closing '/' is the first one after an even number of backslashes.
    while (*q != '\0' && *q != '/') {
        if (*q == '\n') break;
        if (*q == '\\' && q[1] != '\0' && q[1] != '\n') ++q;
        ++q;
    }
    if (*q != '/') report_parse_error(4805, "正規表現のフォーマット不正 (/)");
    char* flags = q + 1;
    char* f = flags;
    while (std::isalpha(static_cast<unsigned char>(*f))) ++f;
    if (regexp_literal_hook == nullptr) fail_1015(ctx);
    *out = regexp_literal_hook(p, static_cast<size_t>(q - p), flags, static_cast<size_t>(f - flags));
    return f;
}

// Reads one token at p (whitespace already skipped, not at the end).
// Returns the position after it. *function_here is set when the token was
// a function literal.
char* read_token(Row& r, char* p, ReadCtx& ctx, bool* function_here) {
    uint32_t pos = source_position(p);
    char c = *p;
    char n1 = p[1];
    bool at_operand = operand_position(r);

    if (c == '"' || c == '\'' || c == '`') {
        ValueWord w;
        p = read_string_literal(p + 1, c, &w);
        push_operand(r, ctx, w, pos);
        return p;
    }
    if (is_digit(static_cast<unsigned char>(c)) || (c == '.' && at_operand)) {
        ValueWord w;
        p = read_number_literal(p, 1, &w);
        push_operand(r, ctx, w, pos);
        return p;
    }
    if ((c == '+' || c == '-') && at_operand && is_digit(static_cast<unsigned char>(n1))) {
        ValueWord w;
        p = read_number_literal(p + 1, c == '-' ? -1 : 1, &w);
        push_operand(r, ctx, w, pos);
        return p;
    }
    switch (c) {
        case '+':
            if (n1 == '=') return push_slot(r, ctx, OP_ADD_ASSIGN, 0, pos), p + 2;
            if (n1 == '+') return push_slot(r, ctx, at_operand ? OP_PRE_INC : OP_POST_INC, 0, pos), p + 2;
            return push_slot(r, ctx, OP_ADD, 0, pos), p + 1;
        case '-':
            if (n1 == '=') return push_slot(r, ctx, OP_SUB_ASSIGN, 0, pos), p + 2;
            if (n1 == '-') return push_slot(r, ctx, at_operand ? OP_PRE_DEC : OP_POST_DEC, 0, pos), p + 2;
            return push_slot(r, ctx, at_operand ? ROW_NEGATE : static_cast<uint8_t>(OP_SUB), 0, pos), p + 1;
        case '*':
            if (n1 == '=') return push_slot(r, ctx, OP_MUL_ASSIGN, 0, pos), p + 2;
            if (n1 == '*') return push_slot(r, ctx, OP_POW, 0, pos), p + 2;
            return push_slot(r, ctx, OP_MUL, 0, pos), p + 1;
        case '/':
            if (at_operand) {
                ValueWord w;
                p = read_regexp(p + 1, &w, ctx);
                if (word_tag(w) == TAG_NODE) dw_cell(w)->d12 = pos;  // the literal's own position
                push_operand(r, ctx, w, pos);
                return p;
            }
            if (n1 == '=') return push_slot(r, ctx, OP_DIV_ASSIGN, 0, pos), p + 2;
            return push_slot(r, ctx, OP_DIV, 0, pos), p + 1;
        case '%':
            if (n1 == '=') return push_slot(r, ctx, OP_MOD_ASSIGN, 0, pos), p + 2;
            return push_slot(r, ctx, OP_MOD, 0, pos), p + 1;
        case '&':
            if (n1 == '=') return push_slot(r, ctx, OP_AND_ASSIGN, 0, pos), p + 2;
            if (n1 == '&') return push_slot(r, ctx, OP_AND, 0, pos), p + 2;
            return push_slot(r, ctx, OP_BIT_AND, 0, pos), p + 1;
        case '|':
            if (n1 == '=') return push_slot(r, ctx, OP_OR_ASSIGN, 0, pos), p + 2;
            if (n1 == '|') return push_slot(r, ctx, OP_OR, 0, pos), p + 2;
            return push_slot(r, ctx, OP_BIT_OR, 0, pos), p + 1;
        case '^':
            if (n1 == '=') return push_slot(r, ctx, OP_XOR_ASSIGN, 0, pos), p + 2;
            return push_slot(r, ctx, OP_BIT_XOR, 0, pos), p + 1;
        case '~':
            return push_slot(r, ctx, OP_BIT_NOT, 0, pos), p + 1;
        case '!':
            if (n1 == '=' && p[2] == '=') return push_slot(r, ctx, OP_STRICT_NE, 0, pos), p + 3;
            if (n1 == '=') return push_slot(r, ctx, OP_NE, 0, pos), p + 2;
            return push_slot(r, ctx, OP_NOT, 0, pos), p + 1;
        case '=':
            if (n1 == '=' && p[2] == '=') return push_slot(r, ctx, OP_STRICT_EQ, 0, pos), p + 3;
            if (n1 == '=') return push_slot(r, ctx, OP_EQ, 0, pos), p + 2;
            return push_slot(r, ctx, OP_ASSIGN, 0, pos), p + 1;
        case '<':
            if (n1 == '=') return push_slot(r, ctx, OP_LE, 0, pos), p + 2;
            if (n1 == '<') return push_slot(r, ctx, OP_SHL, 0, pos), p + 2;
            return push_slot(r, ctx, OP_LT, 0, pos), p + 1;
        case '>':
            if (n1 == '=') return push_slot(r, ctx, OP_GE, 0, pos), p + 2;
            if (n1 == '>' && p[2] == '>') return push_slot(r, ctx, OP_USHR, 0, pos), p + 3;
            if (n1 == '>') return push_slot(r, ctx, OP_SHR, 0, pos), p + 2;
            return push_slot(r, ctx, OP_GT, 0, pos), p + 1;
        case '?':
            return push_slot(r, ctx, OP_COND, 0, pos), p + 1;
        case ':':
            return push_slot(r, ctx, OP_COLON, 0, pos), p + 1;
        case ',':
            return push_slot(r, ctx, OP_COMMA, 0, pos), p + 1;
        case '(': {
            ValueWord items[ARG_LIMIT];
            int count = 0;
            char* q = read_bracketed(p, ')', items, ARG_LIMIT, &count, ctx);
            if (!at_operand) {
                push_slot(r, ctx, OP_CALL, 0, pos);
                push_operand(r, ctx, make_argument_array(items, static_cast<uint32_t>(count)), pos);
            } else {
                push_operand(r, ctx, make_node(OP_GROUP, items, static_cast<uint32_t>(count), pos, ctx.start), pos);
            }
            return q;
        }
        case '[': {
            if (at_operand) {
                ValueWord w;
                char* q = read_array_literal(p + 1, &w);
                push_operand(r, ctx, w, pos);
                return q;
            }
            ValueWord items[ARG_LIMIT];
            int count = 0;
            char* q = read_bracketed(p, ']', items, ARG_LIMIT, &count, ctx);
            if (count != 1) fail_1015(ctx);
            push_slot(r, ctx, OP_INDEX, 0, pos);
            push_operand(r, ctx, items[0], pos);
            return q;
        }
        case '.': {
            // After an operand (the operand position was handled above).
            push_slot(r, ctx, OP_MEMBER, 0, pos);
            char* q = skip_whitespace(p + 1);
            if (!is_ident_start(static_cast<unsigned char>(*q))) fail_1015(ctx);
            uint32_t name;
            uint32_t name_pos = source_position(q);
            q = read_identifier(q, &name);
            push_operand(r, ctx, name_word(name), name_pos);
            return q;
        }
        case '{': {
            ValueWord w;
            char* q = read_object_literal(p + 1, &w);
            push_operand(r, ctx, w, pos);
            return q;
        }
        default:
            break;
    }
    if (!is_ident_start(static_cast<unsigned char>(c))) fail_1015(ctx);

    // Reserved words run their statement handler; the node is an operand.
    char* after = p;
    int kind = recognize_keyword(after);
    if (kind != KW_NONE) {
        ValueWord w = 0;
        g_parse.function_ended = false;
        char* q = g_statement_handlers[kind](after, &w, p, pos);
        // A function definition, or a statement that is no value form,
        // ends a statement-level list behind it.
        if (g_parse.function_ended || kind == KW_FUNCTION) {
            ctx.saw_function = true;
            *function_here = true;
        }
        push_operand(r, ctx, w, pos);
        return q;
    }

    uint32_t name;
    char* q = read_identifier(p, &name);
    if (name == N_TYPEOF) {
        push_slot(r, ctx, OP_TYPEOF, 0, pos);
        return q;
    }
    if (name == N_INSTANCEOF) {
        push_slot(r, ctx, OP_INSTANCEOF, 0, pos);
        q = skip_whitespace(q);
        if (!is_ident_start(static_cast<unsigned char>(*q))) fail_1015(ctx);
        uint32_t cls;
        uint32_t cls_pos = source_position(q);
        q = read_identifier(q, &cls);
        push_operand(r, ctx, name_word(cls), cls_pos);
        return q;
    }
    if (name == N_NEW) {
        push_slot(r, ctx, OP_NEW, 0, pos);
        q = skip_whitespace(q);
        if (!is_ident_start(static_cast<unsigned char>(*q))) fail_1015(ctx);
        uint32_t cls;
        uint32_t cls_pos = source_position(q);
        q = read_identifier(q, &cls);
        ValueWord args[ARG_LIMIT];
        int count = 0;
        q = read_builtin_args(q, find_builtin(cls), args, &count, ctx);
        push_operand(r, ctx, name_word(cls), cls_pos);
        push_slot(r, ctx, OP_CALL, 0, cls_pos);
        push_operand(r, ctx, make_argument_array(args, static_cast<uint32_t>(count)), cls_pos);
        return q;
    }
    const BuiltinLimit* b = find_builtin(name);
    if (b != nullptr && b->op != 0) {
        ValueWord args[ARG_LIMIT];
        int count = 0;
        q = read_builtin_args(q, b, args, &count, ctx);
        push_operand(r, ctx, make_node(static_cast<uint32_t>(b->op), args, static_cast<uint32_t>(count), pos, ctx.start),
                     pos);
        return q;
    }
    push_operand(r, ctx, name_word(name), pos);
    return q;
}

// ---- The reducer ----

int left_operand(const Row& r, int i, const ReadCtx& c) {
    int j = i - 1;
    while (j >= 0 && slot_empty(r, j)) --j;
    if (j < 0 || !slot_filled(r, j)) fail_reduce(c);
    return j;
}

int right_operand(const Row& r, int i, const ReadCtx& c) {
    int j = i + 1;
    while (j < r.n && slot_empty(r, j)) ++j;
    if (j >= r.n || !slot_filled(r, j)) fail_reduce(c);
    return j;
}

// Nearest non-empty slot after i, or r.n.
int next_nonempty(const Row& r, int i) {
    int j = i + 1;
    while (j < r.n && slot_empty(r, j)) ++j;
    return j;
}

int prev_nonempty(const Row& r, int i) {
    int j = i - 1;
    while (j >= 0 && slot_empty(r, j)) --j;
    return j;
}

bool op_in(uint8_t op, const uint8_t* set, int n) {
    for (int k = 0; k < n; ++k) {
        if (set[k] == op) return true;
    }
    return false;
}

int leftmost(const Row& r, const uint8_t* set, int n) {
    for (int i = 0; i < r.n; ++i) {
        if (op_in(r.op[i], set, n)) return i;
    }
    return -1;
}

int rightmost(const Row& r, const uint8_t* set, int n) {
    for (int i = r.n - 1; i >= 0; --i) {
        if (op_in(r.op[i], set, n)) return i;
    }
    return -1;
}

// Replaces the operator at i and its neighbours l and rr by a two-operand
// node of code op, stored in slot `at`.
void combine_binary(Row& r, int i, int l, int rr, uint32_t op, int at, const ReadCtx& c) {
    ValueWord ops[2] = {r.word[l], r.word[rr]};
    ValueWord node = make_node(op, ops, 2, r.pos[i], c.start);
    clear_slot(r, l);
    clear_slot(r, rr);
    clear_slot(r, i);
    r.op[at] = ROW_OPERAND;
    r.word[at] = node;
}

void reduce_binary(Row& r, const uint8_t* set, int n, bool right_to_left, const ReadCtx& c) {
    for (;;) {
        int i = right_to_left ? rightmost(r, set, n) : leftmost(r, set, n);
        if (i < 0) return;
        int l = left_operand(r, i, c);
        int rr = right_operand(r, i, c);
        combine_binary(r, i, l, rr, r.op[i], l, c);
    }
}

// Levels 0: call, index, member (a call whose callee follows a `new` mark
// becomes the `new` node).
void reduce_level0(Row& r, const ReadCtx& c) {
    static const uint8_t set[] = {OP_CALL, OP_INDEX, OP_MEMBER};
    for (;;) {
        int i = leftmost(r, set, 3);
        if (i < 0) break;
        int l = left_operand(r, i, c);
        int rr = right_operand(r, i, c);
        int before = prev_nonempty(r, l);
        if (r.op[i] == OP_CALL && before >= 0 && r.op[before] == OP_NEW) {
            combine_binary(r, i, l, rr, OP_NEW, before, c);
        } else {
            combine_binary(r, i, l, rr, r.op[i], l, c);
        }
    }
    // A `new` mark left over has no class call behind it.
    for (int i = 0; i < r.n; ++i) {
        if (r.op[i] == OP_NEW) fail_reduce(c);
    }
}

void reduce_postfix(Row& r, const ReadCtx& c) {
    static const uint8_t codes[] = {OP_POST_INC, OP_POST_DEC};
    for (uint8_t code : codes) {
        for (;;) {
            int i = leftmost(r, &code, 1);
            if (i < 0) break;
            int l = left_operand(r, i, c);
            ValueWord node = make_node(code, &r.word[l], 1, r.pos[i], c.start);
            clear_slot(r, i);
            r.word[l] = node;
        }
    }
}

// Prefix operators apply from right to left, so stacked ones nest.
void reduce_prefix(Row& r, const ReadCtx& c) {
    static const uint8_t set[] = {OP_PRE_INC, OP_PRE_DEC, OP_NOT, OP_BIT_NOT, OP_TYPEOF, ROW_NEGATE};
    for (;;) {
        int i = rightmost(r, set, 6);
        if (i < 0) return;
        int rr = right_operand(r, i, c);
        ValueWord node;
        if (r.op[i] == ROW_NEGATE) {
            ValueWord ops[2] = {make_int(0), r.word[rr]};
            node = make_node(OP_SUB, ops, 2, r.pos[i], c.start);
        } else {
            node = make_node(r.op[i], &r.word[rr], 1, r.pos[i], c.start);
        }
        clear_slot(r, rr);
        r.op[i] = ROW_OPERAND;
        r.word[i] = node;
    }
}

// n-ary chains: the leftmost operator of the level, then every following
// operand joined by the same operator, as one node.
void reduce_chain(Row& r, const uint8_t* set, int n, const ReadCtx& c) {
    ValueWord ops[256];
    for (;;) {
        int i = leftmost(r, set, n);
        if (i < 0) return;
        uint8_t code = r.op[i];
        int l = left_operand(r, i, c);
        uint32_t count = 0;
        ops[count++] = r.word[l];
        int k = i;
        for (;;) {
            int rr = right_operand(r, k, c);
            if (count >= 255) report_parse_error(1123, MSG_LIMIT_1123, error_excerpt(c.start, EXCERPT_STATEMENT));
            ops[count++] = r.word[rr];
            clear_slot(r, k);
            clear_slot(r, rr);
            int next = next_nonempty(r, rr);
            if (next < r.n && r.op[next] == code) {
                k = next;
                continue;
            }
            break;
        }
        r.word[l] = make_node(code, ops, count, r.pos[i], c.start);
    }
}

void reduce_ternary(Row& r, const ReadCtx& c) {
    static const uint8_t q[] = {OP_COND};
    for (;;) {
        int i = rightmost(r, q, 1);
        if (i < 0) break;
        int cond = left_operand(r, i, c);
        int then_slot = right_operand(r, i, c);
        int colon = next_nonempty(r, then_slot);
        if (colon >= r.n || r.op[colon] != OP_COLON) fail_reduce(c);
        int else_slot = right_operand(r, colon, c);
        ValueWord ops[3] = {r.word[cond], r.word[then_slot], r.word[else_slot]};
        ValueWord node = make_node(OP_COND, ops, 3, r.pos[i], c.start);
        clear_slot(r, i);
        clear_slot(r, then_slot);
        clear_slot(r, colon);
        clear_slot(r, else_slot);
        r.word[cond] = node;
    }
}

void reduce_row(Row& r, ValueWord* items, int limit, int* count, bool retain, const ReadCtx& c) {
    *count = 0;
    if (r.n == 0) return;
    uint8_t last = r.op[r.n - 1];
    if (!(slot_filled(r, r.n - 1) || last == OP_POST_INC || last == OP_POST_DEC)) fail_reduce(c);

    static const uint8_t pow_set[] = {OP_POW};
    static const uint8_t mul_set[] = {OP_MUL, OP_DIV, OP_MOD};
    static const uint8_t add_set[] = {OP_ADD, OP_SUB};
    static const uint8_t shift_set[] = {OP_SHL, OP_SHR, OP_USHR};
    static const uint8_t rel_set[] = {OP_GE, OP_GT, OP_LE, OP_LT, OP_INSTANCEOF};
    static const uint8_t eq_set[] = {OP_EQ, OP_STRICT_EQ, OP_NE, OP_STRICT_NE};
    static const uint8_t band_set[] = {OP_BIT_AND};
    static const uint8_t bxor_set[] = {OP_BIT_XOR};
    static const uint8_t bor_set[] = {OP_BIT_OR};
    static const uint8_t and_set[] = {OP_AND};
    static const uint8_t or_set[] = {OP_OR};
    static const uint8_t assign_set[] = {OP_ASSIGN,     OP_ADD_ASSIGN, OP_SUB_ASSIGN, OP_MUL_ASSIGN, OP_DIV_ASSIGN,
                                         OP_MOD_ASSIGN, OP_AND_ASSIGN, OP_OR_ASSIGN,  OP_XOR_ASSIGN};

    for (int level = 0; level < LEVELS; ++level) {
        if (!r.level[level]) continue;
        switch (level) {
            case 0: reduce_level0(r, c); break;
            case 2: reduce_postfix(r, c); break;
            case 3: reduce_prefix(r, c); break;
            case 4: reduce_binary(r, pow_set, 1, true, c); break;
            case 5: reduce_chain(r, mul_set, 3, c); break;
            case 6: reduce_chain(r, add_set, 2, c); break;
            case 7: reduce_binary(r, shift_set, 3, false, c); break;
            case 8: reduce_binary(r, rel_set, 5, false, c); break;
            case 9: reduce_binary(r, eq_set, 4, false, c); break;
            case 10: reduce_chain(r, band_set, 1, c); break;
            case 11: reduce_chain(r, bxor_set, 1, c); break;
            case 12: reduce_chain(r, bor_set, 1, c); break;
            case 13: reduce_chain(r, and_set, 1, c); break;
            case 14: reduce_chain(r, or_set, 1, c); break;
            case 16: reduce_ternary(r, c); break;
            case 17: reduce_binary(r, assign_set, 9, true, c); break;
            default: fail_reduce(c);
        }
    }

    int n = 0;
    for (int i = 0; i < r.n; ++i) {
        if (slot_empty(r, i)) continue;
        if (!is_operand_code(r.op[i])) {
            if (r.op[i] == OP_COMMA) continue;
            fail_reduce(c);
        }
        if (n + 1 >= limit) report_parse_error(1123, MSG_LIMIT_1123, error_excerpt(c.start, EXCERPT_STATEMENT));
        items[n++] = retain ? value_retain(r.word[i]) : r.word[i];
    }
    *count = n;
}

// Reads tokens into a row until the list ends, then reduces it.
char* read_row_list(char* text, ValueWord* items, int limit, int* count, bool retain, ReadCtx& ctx) {
    if (g_nesting >= MAX_NESTING) {
        report_parse_error(ctx.rules->slots_code, ctx.rules->slots_format, error_excerpt(ctx.start, EXCERPT_STATEMENT));
    }
    ++g_nesting;
    struct NestingGuard {
        ~NestingGuard() { --g_nesting; }
    } guard;

    // One row per nesting depth, allocated on first use and kept.
    Row*& row = g_rows[g_nesting - 1];
    if (row == nullptr) {
        row = static_cast<Row*>(std::malloc(sizeof(Row)));
        if (row == nullptr) report_error(1400, "メモリ領域を取得できません");
    }
    Row& r = *row;
    r.n = 0;
    for (bool& l : r.level) l = false;

    char* p = text;
    for (;;) {
        p = skip_whitespace(p);
        char ch = *p;
        if (ch == '\0') break;
        if (ch == ';') {
            if (ctx.json) report_parse_error(1055, "JSON文字列不正 ';'");
            ++p;
            break;
        }
        if (ctx.json && ch == ',') {
            ++p;
            break;
        }
        bool function_here = false;
        p = read_token(r, p, ctx, &function_here);
        if (g_parse.function_ended) ctx.saw_function = true;
        if (function_here && ctx.statement_level) break;
    }
    reduce_row(r, items, limit, count, retain, ctx);
    return p;
}

}  // namespace

// ---- Nodes ----

ValueWord make_node(uint32_t op, const ValueWord* operands, uint32_t count, uint32_t pos, const char* text) {
    if (count >= 255 && op != OP_BLOCK) {
        report_parse_error(1123, MSG_LIMIT_1123, error_excerpt(text, EXCERPT_STATEMENT));
    }
    ValueWord w;
    Cell* c = dw_alloc(TAG_NODE, &w, 0);
    c->b1 = node_flags(op);
    c->b3 = static_cast<uint8_t>(op);
    if (count <= 2) {
        c->b2 = static_cast<uint8_t>(count);
        c->d4 = count > 0 ? value_retain(operands[0]) : 0;
        c->d8 = count > 1 ? value_retain(operands[1]) : 0;
        c->d12 = pos;
        return w;
    }
    void* mem = nullptr;
    uint32_t addr = area_alloc(static_cast<size_t>(count) * 4, &mem);
    AreaWord* block = static_cast<AreaWord*>(mem);
    for (uint32_t i = 0; i < count; ++i) block[i] = value_retain(operands[i]);
    c = dw_cell(w);
    c->d4 = addr;
    c->d8 = 0;
    if (count >= 255) {
        c->b2 = NODE_MANY_OPERANDS;
        c->d12 = count;
    } else {
        c->b2 = static_cast<uint8_t>(count);
        c->d12 = pos;
    }
    return w;
}

AreaWord* node_operands(Cell* node, uint32_t* count) {
    uint32_t n = node->b2;
    if (n == NODE_MANY_OPERANDS) n = node->d12;
    *count = n;
    if (n <= 2) return &node->d4;
    return static_cast<AreaWord*>(area_ptr(node->d4));
}

AreaWord* node_operands(ValueWord node, uint32_t* count) { return node_operands(dw_cell(node), count); }

uint32_t make_argument_array(const ValueWord* args, uint32_t count) {
    void* mem = nullptr;
    uint32_t addr = area_alloc((static_cast<size_t>(count) + 1) * 4, &mem);
    AreaWord* block = static_cast<AreaWord*>(mem);
    block[0] = count;
    for (uint32_t i = 0; i < count; ++i) block[i + 1] = value_retain(args[i]);
    return addr;
}

AreaWord* argument_array(uint32_t addr, uint32_t* count) {
    AreaWord* block = static_cast<AreaWord*>(area_ptr(addr));
    *count = block[0];
    return block + 1;
}

// ---- Expression lists ----

char* read_expression_list_with(char* text, ValueWord* items, int limit, int* count, bool retain,
                                const ExprRules* rules) {
    g_parse.function_ended = false;
    ReadCtx ctx{rules, false, true, text, false};
    char* p = read_row_list(text, items, limit, count, retain, ctx);
    g_parse.function_ended = ctx.saw_function;
    return p;
}

char* read_expression_list(char* text, ValueWord* items, int limit, int* count, bool retain) {
    return read_expression_list_with(text, items, limit, count, retain, &g_default_expr_rules);
}

char* read_call_arguments(char* open, ValueWord* args, int limit, int* count, const char* stmt_start) {
    g_parse.function_ended = false;
    ReadCtx outer{&g_default_expr_rules, false, false, stmt_start, false};
    char* p = read_bracketed(open, ')', args, limit, count, outer);
    g_parse.function_ended = outer.saw_function;
    return p;
}

char* read_json_element(char* text, ValueWord* items, int* count) {
    ReadCtx ctx{&g_json_rules, true, false, text, false};
    char* p = read_row_list(text, items, 21, count, false, ctx);
    if (ctx.saw_function) g_parse.function_ended = true;
    return p;
}

namespace {

// The words a literal gathers before its block is made, freed however the
// read ends; they grow 2048 words (1024 pairs) at a time.
struct LiteralWords {
    ValueWord* p = nullptr;
    size_t cap = 0;
    ~LiteralWords() { std::free(p); }
};

constexpr size_t LITERAL_WORDS_STEP = 2048;

void literal_words_reserve(LiteralWords& w, size_t need) {
    if (need <= w.cap) return;
    size_t cap = w.cap + LITERAL_WORDS_STEP;
    auto* grown = static_cast<ValueWord*>(std::realloc(w.p, cap * sizeof(ValueWord)));
    if (grown == nullptr) report_error(1400, "メモリ領域を取得できません");
    w.p = grown;
    w.cap = cap;
}

}  // namespace

char* read_array_literal(char* text, ValueWord* out) {
    char* close = find_closing(text, ']', '[');
    if (close == nullptr) {
        report_parse_error(1070, "JSON文字列フォーマット不正 '%s'", error_excerpt(text, EXCERPT_STATEMENT));
    }
    *close = '\0';
    size_t n = 0;
    LiteralWords elems;
    literal_words_reserve(elems, LITERAL_WORDS_STEP);

    char* p = text;
    for (;;) {
        p = skip_whitespace(p);
        if (*p == '\0') break;
        const char* element = p;
        ValueWord items[21];
        int count = 0;
        p = read_json_element(p, items, &count);
        if (count != 1) {
            report_parse_error(1070, "JSON文字列フォーマット不正 '%s'", error_excerpt(element, EXCERPT_STATEMENT));
        }
        literal_words_reserve(elems, n + 1);
        elems.p[n++] = items[0];
    }
    *close = ']';

    void* mem = nullptr;
    uint32_t addr = area_alloc((n + 10) * 4, &mem);
    AreaWord* block = static_cast<AreaWord*>(mem);
    for (size_t i = 0; i < n; ++i) block[i] = value_retain(elems.p[i]);
    ValueWord w;
    Cell* c = dw_alloc(TAG_ARRAY, &w, 0);
    arr_addr(c) = addr;
    arr_count(c) = static_cast<uint32_t>(n);
    arr_cap(c) = static_cast<uint32_t>(n + 10);
    *out = w;
    return close + 1;
}

char* read_object_literal(char* text, ValueWord* out) {
    char* close = find_closing(text, '}', '{');
    if (close == nullptr) {
        report_parse_error(1142, "JSON文字列のフォーマット不正 '%s'", error_excerpt(text, EXCERPT_STATEMENT));
    }
    *close = '\0';
    size_t n = 0;
    LiteralWords pairs;
    literal_words_reserve(pairs, LITERAL_WORDS_STEP);

    char* p = text;
    for (;;) {
        p = skip_whitespace(p);
        if (*p == '\0') break;
        const char* entry = p;
        uint32_t key;
        char c = *p;
        if (c == '"' || c == '\'' || c == '`') {
            ValueWord s;
            p = read_string_literal(p + 1, c, &s);
            uint32_t len = string_length(s);
            if (len > 255) report_parse_error(1140, MSG_KEY_1140, error_excerpt(entry, EXCERPT_STATEMENT));
            key = intern(string_text(s), len);
            value_release_temp(s);
        } else if (is_ident_start(static_cast<unsigned char>(c))) {
            p = read_identifier(p, &key);
        } else {
            report_parse_error(1140, MSG_KEY_1140, error_excerpt(entry, EXCERPT_STATEMENT));
        }
        p = skip_whitespace(p);
        if (*p != ':') report_parse_error(1140, MSG_KEY_1140, error_excerpt(entry, EXCERPT_STATEMENT));
        ++p;
        ValueWord items[21];
        int count = 0;
        p = read_json_element(p, items, &count);
        if (count != 1) report_parse_error(1140, MSG_KEY_1140, error_excerpt(entry, EXCERPT_STATEMENT));
        // The 16-bit capacity field holds count + 10.
        if (n + 10 >= 0xFFFF) report_parse_error(1140, MSG_KEY_1140, error_excerpt(entry, EXCERPT_STATEMENT));
        literal_words_reserve(pairs, 2 * n + 2);
        pairs.p[2 * n] = name_word(key);
        pairs.p[2 * n + 1] = items[0];
        ++n;
    }
    *close = '}';

    void* mem = nullptr;
    uint32_t addr = area_alloc((n + 10) * 8, &mem);
    AreaWord* block = static_cast<AreaWord*>(mem);
    for (size_t i = 0; i < n; ++i) {
        block[2 * i] = pairs.p[2 * i];
        block[2 * i + 1] = value_retain(pairs.p[2 * i + 1]);
    }
    ValueWord w;
    Cell* cell = dw_alloc(TAG_OBJECT, &w, 0);
    set_obj_count(cell, static_cast<uint32_t>(n));
    set_obj_cap(cell, static_cast<uint32_t>(n + 10));
    obj_addr(cell) = addr;
    obj_class(cell) = 0;
    *out = w;
    return close + 1;
}

}  // namespace velt
