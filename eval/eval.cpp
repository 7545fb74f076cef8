// The evaluation core: names, literals, templates, truthiness, index and
// member access with the location registers, and the simple expression
// forms (!, &&, ||, ?:, sequence, Array(...)).
#include "eval/eval.h"

#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "eval/scope.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

Location g_loc = {LOC_NONE, 0, 0, false};
ValueWord g_small_ints[SMALL_INT_MAX - SMALL_INT_MIN + 1];

namespace {
bool g_small_ints_used = false;
}

ValueWord small_int_make(int32_t v) {
    ValueWord w = make_int(v, 15);
    g_small_ints[v - SMALL_INT_MIN] = w;
    g_small_ints_used = true;
    return w;
}

// The table is zero at start: the driver's first call touches nothing.
NumberStash g_number_stash = {0, {}};

void small_ints_reset() {
    g_number_stash.count = 0;
    if (!g_small_ints_used) return;
    std::memset(g_small_ints, 0, sizeof g_small_ints);
    g_small_ints_used = false;
}

bool g_create_mode = false;
DebugHook g_debug_hook = nullptr;
RegExpPropertyRoutine g_regexp_property = nullptr;
RegExpLastIndexStore g_regexp_store_last_index = nullptr;

namespace {

constexpr ValueWord NAME_BITS = 0x0FFFFFFFu;
constexpr size_t TEMPLATE_EXPR_MAX = 512;
constexpr size_t EXCERPT_CHARS = 120;

// Errors raised while create mode may be on: a caught error must not leave
// later reads creating entries.
[[noreturn]] void access_error(int code, const char* message) {
    g_create_mode = false;
    report_error(code, "%s", message);
}

inline AreaWord* words_at(uint32_t addr) { return static_cast<AreaWord*>(area_ptr(addr)); }

// A zeroed word block of n words.
uint32_t word_block(size_t n, AreaWord** out) {
    void* mem = nullptr;
    uint32_t addr = area_alloc(n * 4, &mem);
    std::memset(mem, 0, n * 4);
    *out = static_cast<AreaWord*>(mem);
    return addr;
}

[[noreturn]] void not_evaluable(ValueWord w) {
    char text[64];
    uint32_t tag = word_tag(w);
    if (tag == TAG_SQL) {
        std::strcpy(text, "SQL_Object");
    } else if (tag == TAG_DBCONN) {
        std::strcpy(text, "DB_Connection");
    } else {
        // Tags 4 and 15 have no text form: show the payload.
        std::snprintf(text, sizeof text, "%u", word_payload(w));
    }
    report_error(2015, "評価式不正 '%.*s'", static_cast<int>(EXCERPT_CHARS), text);
}

// ---- Literals ----

ValueWord build_literal(ValueWord lit);

// One element of a literal: nested containers are built afresh, names,
// nodes and templates evaluated, other words kept.
inline ValueWord literal_element(ValueWord e) {
    uint32_t tag = word_tag(e);
    if (tag == TAG_ARRAY || tag == TAG_SPARSE || tag == TAG_OBJECT) return build_literal(e);
    if (tag == TAG_SQL || tag == TAG_DBCONN) return e;
    return evaluate(e);
}

// A new container of the literal's kind with its evaluated elements, each
// retained. Every evaluation gives a new value, so that changing a value
// that came from a literal never changes the program.
ValueWord build_literal(ValueWord lit) {
    Cell* lc = dw_cell(lit);
    uint32_t tag = cell_tag(lc);
    if (tag == TAG_OBJECT) {
        uint32_t n = obj_count(lc);
        uint32_t cap = n + 10 > 0xFFFFu ? 0xFFFFu : n + 10;
        AreaWord* pairs;
        uint32_t addr = word_block(static_cast<size_t>(cap) * 2, &pairs);
        ValueWord out;
        Cell* c = dw_alloc(TAG_OBJECT, &out, 0);
        set_obj_cap(c, cap);
        obj_addr(c) = addr;
        obj_class(c) = obj_class(lc);
        for (uint32_t i = 0; i < n; ++i) {
            const AreaWord* src = words_at(obj_addr(lc));
            ValueWord key = src[2 * i];
            ValueWord v = retain(literal_element(src[2 * i + 1]));
            pairs[2 * i] = key;
            pairs[2 * i + 1] = v;
            set_obj_count(c, i + 1);
        }
        return out;
    }
    // Array and sparse array (a sparse array's block holds pairs).
    uint32_t stride = tag == TAG_SPARSE ? 2 : 1;
    uint32_t n = arr_count(lc);
    uint32_t cap = n + 10;
    AreaWord* elems;
    uint32_t addr = word_block(static_cast<size_t>(cap) * stride, &elems);
    ValueWord out;
    Cell* c = dw_alloc(tag, &out, 0);
    arr_addr(c) = addr;
    arr_cap(c) = cap;
    for (uint32_t i = 0; i < n; ++i) {
        const AreaWord* src = words_at(arr_addr(lc)) + stride * i;
        if (stride == 2) elems[2 * i] = src[0];
        elems[stride * i + stride - 1] = retain(literal_element(src[stride - 1]));
        arr_count(c) = i + 1;
    }
    return out;
}

// ---- Templates ----

inline bool odd_backslashes_before(const char* start, const char* p) {
    size_t n = 0;
    while (p > start && p[-1] == '\\') {
        --p;
        ++n;
    }
    return (n & 1u) != 0;
}

// The statements of one placeholder; released (nodes and list) when the
// expansion ends, also when an error unwinds through it.
struct PlaceholderStatements {
    StatementList list = {nullptr, 0, 0, false};
    ~PlaceholderStatements() {
        for (uint32_t i = 0; i < list.count; ++i) value_release(list.items[i]);
        statement_list_free(&list);
    }
};

// Parses the placeholder text as statements, evaluates them in order and
// appends the display form of the last value.
void run_placeholder(char* text, TextBuf& out) {
    uint32_t module = g_run.current_module;
    uint32_t line = g_run.current_line;
    uint32_t column = g_run.current_column;
    uint32_t parse_module = g_parse.module;
    LexState lex = g_lex;
    g_parse.module = module;
    lex_begin(text);
    PlaceholderStatements st;
    parse_statement_list(text, &st.list, true, false);
    g_parse.module = parse_module;
    g_lex = lex;
    g_run.current_module = module;
    g_run.current_line = line;
    g_run.current_column = column;

    ValueWord last = W_UNDEFINED;
    for (uint32_t i = 0; i < st.list.count; ++i) {
        release_temp(last);
        last = evaluate(st.list.items[i]);
    }
    g_run.current_module = module;
    g_run.current_line = line;
    g_run.current_column = column;
    // Written before the nodes go: the value may be one of their constants.
    value_display(last, false, out);
    release_temp(last);
}

}  // namespace

ValueWord expand_template(ValueWord str) {
    const char* text = string_text(str);
    const char* end = text + string_length(str);
    TextBuf out;  // freed by its destructor, also when an error unwinds
    const char* p = text;
    while (p < end) {
        const char* open = nullptr;
        for (const char* q = p; q + 1 < end; ++q) {
            if (q[0] == '$' && q[1] == '{') {
                open = q;
                break;
            }
        }
        if (open == nullptr) {
            textbuf_append(out, p, static_cast<size_t>(end - p));
            break;
        }
        if (odd_backslashes_before(text, open)) {
            textbuf_append(out, p, static_cast<size_t>(open + 2 - p));
            p = open + 2;
            continue;
        }
        textbuf_append(out, p, static_cast<size_t>(open - p));
        const char* expr = open + 2;
        const char* close = static_cast<const char*>(std::memchr(expr, '}', static_cast<size_t>(end - expr)));
        if (close == nullptr || odd_backslashes_before(text, close)) {
            report_error(2010, "フォーマット不正 ${ ... }");
        }
        size_t len = static_cast<size_t>(close - expr);
        if (len >= TEMPLATE_EXPR_MAX) report_error(2005, "バッファーのオーバーフロー ${...}");
        char buf[TEMPLATE_EXPR_MAX];
        std::memcpy(buf, expr, len);
        buf[len] = '\0';
        run_placeholder(buf, out);
        // The template is a program constant: its text has not moved.
        p = close + 1;
    }
    return make_string(out.data ? out.data : "", out.len);
}

// ---- Evaluation ----

ValueWord lookup_name(ValueWord name) {
    ValueWord key = name & NAME_BITS;
    if (g_scope.block_depth > 0) {
        // Locals of the running function, from the top down to the frame
        // base (entry 0 is never used).
        int low = g_scope.frame_base > 1 ? g_scope.frame_base : 1;
        const VarSlot* slots = g_locals.slots;
        for (int i = g_locals.top; i >= low; --i) {
            if ((slots[i].name & NAME_BITS) == key) {
                g_loc.kind = LOC_LOCAL;
                g_loc.index = static_cast<uint32_t>(i);
                g_loc.is_const = (slots[i].name & VAR_CONST) != 0;
                return slots[i].value;
            }
        }
    }
    int gi = global_find(name);
    if (gi < 0) gi = global_append(name & NAME_BITS, W_UNDEFINED);
    const VarSlot& s = g_globals.slots[gi];
    g_loc.kind = LOC_GLOBAL;
    g_loc.index = static_cast<uint32_t>(gi);
    g_loc.is_const = (s.name & VAR_CONST) != 0;
    return s.value;
}

ValueWord evaluate_other(ValueWord w) {
    uint32_t tag = word_tag(w);
    switch (tag) {
    case TAG_NAME:
        if (w <= W_NAN) return w;
        return lookup_name(w);
    case TAG_STRING:
        if (str_mark(dw_cell(w)) < 0) return expand_template(w);
        return w;
    case TAG_ARRAY:
    case TAG_SPARSE:
    case TAG_OBJECT:
        return build_literal(w);
    case TAG_NODE:
        return evaluate_node(dw_cell(w));
    case TAG_INT:
    case TAG_DATE:
    case TAG_ERROR:
    case TAG_REGEXP:
    case TAG_FLOAT:
    case TAG_FUNCTION:
        return w;
    default:
        not_evaluable(w);
    }
}

bool truthiness(ValueWord w) {
    switch (word_tag(w)) {
    case TAG_NAME: return w == W_TRUE;
    case TAG_NONE:
    case TAG_INTKEY: return false;
    case TAG_INT: return cell_int(dw_cell(w)) != 0;
    case TAG_FLOAT: return cell_float(dw_cell(w)) != 0.0;  // NaN is true
    case TAG_STRING: return str_len(dw_cell(w)) != 0;
    case TAG_ARRAY:
    case TAG_SPARSE: return arr_count(dw_cell(w)) != 0;
    case TAG_OBJECT: return obj_count(dw_cell(w)) != 0;
    default: return true;
    }
}

// ---- Location registers ----

AreaWord* location_slot(const Location& loc) {
    switch (loc.kind) {
    case LOC_LOCAL:
        if (loc.index == 0 || static_cast<int>(loc.index) > g_locals.top) return nullptr;
        return &g_locals.slots[loc.index].value;
    case LOC_GLOBAL:
        if (loc.index >= g_globals.count) return nullptr;
        return &g_globals.slots[loc.index].value;
    case LOC_ELEMENT: {
        if (word_tag(loc.owner) != TAG_ARRAY) return nullptr;
        Cell* c = dw_cell(loc.owner);
        if (cell_tag(c) != TAG_ARRAY || loc.index >= arr_count(c)) return nullptr;
        return words_at(arr_addr(c)) + loc.index;
    }
    case LOC_PAIR: {
        uint32_t tag = word_tag(loc.owner);
        if (tag != TAG_OBJECT && tag != TAG_SPARSE) return nullptr;
        Cell* c = dw_cell(loc.owner);
        if (cell_tag(c) != tag) return nullptr;
        if (tag == TAG_OBJECT) {
            if (loc.index >= obj_count(c)) return nullptr;
            return words_at(obj_addr(c)) + 2 * loc.index + 1;
        }
        if (loc.index >= arr_count(c)) return nullptr;
        return words_at(arr_addr(c)) + 2 * loc.index + 1;
    }
    default:
        return nullptr;
    }
}

namespace {

void store_last_index(const Location& loc, ValueWord v) {
    int32_t n = 0;
    if (word_tag(v) == TAG_INT) {
        n = cell_int(dw_cell(v));
    } else if (word_tag(v) == TAG_FLOAT) {
        double d = cell_float(dw_cell(v));  // truncated toward zero, NaN as 0
        n = d != d ? 0 : d >= 2147483647.0 ? INT32_MAX : d <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(d);
    } else {
        report_error(5080, "正規表現プロパティ不正");
    }
    if (g_regexp_store_last_index == nullptr) not_available(4600, "RegExp lastIndex");
    g_regexp_store_last_index(loc.owner, n);
}

}  // namespace

void store_location(const Location& loc, ValueWord v) {
    if (loc.kind == LOC_LASTINDEX) {
        store_last_index(loc, v);
        return;
    }
    AreaWord* slot = location_slot(loc);
    if (slot == nullptr) report_error(2000, "value_ptrのタイプ不正");
    retain(v);
    ValueWord old = *slot;
    *slot = v;
    drop_hold(old);
}

void store_location_held(const Location& loc, ValueWord v) {
    if (loc.kind == LOC_LASTINDEX) {
        store_last_index(loc, v);
        unhold(v);  // the field keeps the number, not the word
        return;
    }
    AreaWord* slot = location_slot(loc);
    if (slot == nullptr) report_error(2000, "value_ptrのタイプ不正");
    ValueWord old = *slot;
    *slot = v;
    drop_hold(old);
}

// ---- Index and member access ----

namespace {

// Whether an expression leaves a location behind: a name, an index or
// member access, or a group whose last item does. Anything else (a call
// above all) may leave registers of another frame, which are dropped.
}  // namespace

bool has_location_shape(ValueWord w) {
    for (;;) {
        uint32_t tag = word_tag(w);
        if (tag == TAG_NAME) return true;
        if (tag != TAG_NODE) return false;
        Cell* c = dw_cell(w);
        uint32_t op = c->b3;
        if (op == OP_INDEX || op == OP_MEMBER) return true;
        if (op != OP_GROUP) return false;
        uint32_t n = node_operand_count(c);
        if (n == 0) return false;
        w = node_operand_words(c)[n - 1];
    }
}

namespace {

// Evaluates the container of an access. Create mode stays on only for
// containers that are names or accesses themselves.
inline ValueWord eval_container(ValueWord a) {
    if (g_create_mode && word_tag(a) == TAG_NODE) {
        uint32_t op = dw_cell(a)->b3;
        if (op != OP_INDEX && op != OP_MEMBER) {
            g_create_mode = false;
            ValueWord v = evaluate(a);
            g_create_mode = true;
            return v;
        }
    }
    return evaluate(a);
}

// A container nobody holds dies after the access; the result it held is
// handed over as a temporary and has no location any more.
inline ValueWord finish_access(ValueWord a, ValueWord result) {
    if (is_unheld(a)) {
        retain(result);
        release_temp(a);
        unhold(result);
        clear_location();
    }
    return result;
}

inline void set_pair_location(ValueWord owner, uint32_t index) {
    g_loc.kind = LOC_PAIR;
    g_loc.index = index;
    g_loc.owner = owner;
    g_loc.is_const = false;
}

// Appends (key, undefined) to a pair block with `count` pairs and `cap`
// capacity. When full (count at least cap - 1) and below max_cap, the
// block moves to one of cap + cap / 2 pairs (at least 11 more, at most
// max_cap), so n appends cost O(n) copying in all. The caller makes sure
// count < max_cap. Returns the (possibly new) block address.
uint32_t append_pair(uint32_t addr, uint32_t count, uint32_t* cap, ValueWord key, uint32_t max_cap) {
    if (count + 1 >= *cap && *cap < max_cap) {
        uint64_t step = *cap / 2 < 11 ? 11 : *cap / 2;
        uint32_t grown = static_cast<uint32_t>(*cap + step > max_cap ? max_cap : *cap + step);
        AreaWord* fresh;
        uint32_t fresh_addr = word_block(static_cast<size_t>(grown) * 2, &fresh);
        if (count) std::memcpy(fresh, words_at(addr), static_cast<size_t>(count) * 8);
        area_free(addr);
        addr = fresh_addr;
        *cap = grown;
    }
    AreaWord* pairs = words_at(addr);
    pairs[2 * count] = key;
    pairs[2 * count + 1] = W_UNDEFINED;
    return addr;
}

// The most pairs a sparse array grows to (its fields are 32 bits; memory
// runs out long before).
constexpr uint32_t SPARSE_MAX_PAIRS = 0x3FFFFFFFu;

// Pair lookup in an Object or sparse array by key word (bits 0-27 compared
// for names, the 24-bit number for integer keys).
inline int find_name_pair(const AreaWord* pairs, uint32_t n, uint32_t name) {
    for (uint32_t i = 0; i < n; ++i) {
        if ((pairs[2 * i] & NAME_BITS) == name) return static_cast<int>(i);
    }
    return -1;
}
inline int find_int_pair(const AreaWord* pairs, uint32_t n, uint32_t number) {
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord k = pairs[2 * i];
        if (word_tag(k) != TAG_NAME && word_payload(k) == number) return static_cast<int>(i);
    }
    return -1;
}

// Looks a key up among the pairs of an Object or sparse array; missing:
// undefined, or with create mode a new pair (key, undefined).
ValueWord pair_access(ValueWord a, ValueWord key, bool by_name, bool create) {
    Cell* c = dw_cell(a);
    bool object = cell_tag(c) == TAG_OBJECT;
    uint32_t n = object ? obj_count(c) : arr_count(c);
    uint32_t addr = object ? obj_addr(c) : arr_addr(c);
    const AreaWord* pairs = n ? words_at(addr) : nullptr;
    int i = by_name ? find_name_pair(pairs, n, key & NAME_BITS) : find_int_pair(pairs, n, word_payload(key));
    if (i >= 0) {
        set_pair_location(a, static_cast<uint32_t>(i));
        return pairs[2 * i + 1];
    }
    if (!create) {
        clear_location();
        return W_UNDEFINED;
    }
    if (object) {
        if (n >= OBJECT_MAX_PAIRS) access_error(1400, "メモリ領域を取得できません");
        object_append_pair(a, key);
    } else {
        uint32_t cap = arr_cap(c);
        arr_addr(c) = append_pair(addr, n, &cap, key, SPARSE_MAX_PAIRS);
        arr_cap(c) = cap;
        arr_count(c) = n + 1;
    }
    set_pair_location(a, n);
    return W_UNDEFINED;
}

// a[n] = ... past the end of an Array (not the next index): the array
// becomes a sparse array stored where the array was held.
ValueWord array_to_sparse(ValueWord& a, const Location& aloc, uint32_t n) {
    if (aloc.kind != LOC_ELEMENT && aloc.kind != LOC_LOCAL && aloc.kind != LOC_GLOBAL &&
        aloc.kind != LOC_PAIR) {
        access_error(2000, "value_ptrのタイプ不正");
    }
    Cell* c = dw_cell(a);
    uint32_t count = arr_count(c);
    uint32_t cap = count + 11;
    AreaWord* pairs;
    uint32_t addr = word_block(static_cast<size_t>(cap) * 2, &pairs);
    const AreaWord* elems = count ? words_at(arr_addr(c)) : nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        pairs[2 * i] = intkey_word(i);
        pairs[2 * i + 1] = retain(elems[i]);
    }
    pairs[2 * count] = intkey_word(n);
    pairs[2 * count + 1] = W_UNDEFINED;
    ValueWord sp;
    Cell* sc = dw_alloc(TAG_SPARSE, &sp, 0);
    arr_addr(sc) = addr;
    arr_count(sc) = count + 1;
    arr_cap(sc) = cap;
    g_create_mode = false;
    store_location(aloc, sp);  // releases the array (and with it its element holds)
    g_create_mode = true;
    a = sp;
    set_pair_location(sp, count);
    return W_UNDEFINED;
}

// The n-th character of a string (UTF-8 lead bytes give the lengths) as a
// new string; undefined past the end.
ValueWord string_char_at(ValueWord s, uint32_t n) {
    clear_location();
    uint32_t len = string_length(s);
    if (n >= len) return W_UNDEFINED;
    const unsigned char* t = reinterpret_cast<const unsigned char*>(string_text(s));
    uint32_t pos = 0;
    for (uint32_t k = 0;; ++k) {
        if (pos >= len) return W_UNDEFINED;
        unsigned char b = t[pos];
        uint32_t step = 1;
        if (b >= 0xC0 && b <= 0xDF) step = 2;
        else if (b >= 0xE0 && b <= 0xEF) step = 3;
        else if (b >= 0xF0 && b <= 0xF7) step = 4;
        else if (b >= 0xF8 && b <= 0xFB) step = 5;
        else if (b >= 0xFC && b <= 0xFD) step = 6;
        if (step > len - pos) step = len - pos;
        if (k == n) return make_string(reinterpret_cast<const char*>(t + pos), step);
        pos += step;
    }
}

// Integer keys are 24 bits wide: a larger index on a container would
// land on another key, so it is refused.
constexpr uint32_t KEY_MAX = 0xFFFFFFu;

ValueWord index_integer(ValueWord& a, const Location& aloc, uint32_t n, bool create) {
    uint32_t tag = word_tag(a);
    if (n > KEY_MAX && (tag == TAG_ARRAY || tag == TAG_SPARSE || tag == TAG_OBJECT)) {
        access_error(2025, "インデックス不正");
    }
    switch (tag) {
    case TAG_ARRAY: {
        Cell* c = dw_cell(a);
        uint32_t count = arr_count(c);
        if (n < count) {
            g_loc.kind = LOC_ELEMENT;
            g_loc.index = n;
            g_loc.owner = a;
            g_loc.is_const = false;
            return words_at(arr_addr(c))[n];
        }
        if (!create) {
            clear_location();
            return W_UNDEFINED;
        }
        if (n != count) return array_to_sparse(a, aloc, n);
        if (count >= arr_cap(c)) {
            // The next index of a full array grows it rather than making
            // it sparse.
            uint32_t grown = arr_cap(c) + arr_cap(c) / 2 + 10;
            AreaWord* fresh;
            uint32_t fresh_addr = word_block(grown, &fresh);
            if (count) std::memcpy(fresh, words_at(arr_addr(c)), static_cast<size_t>(count) * 4);
            area_free(arr_addr(c));
            arr_addr(c) = fresh_addr;
            arr_cap(c) = grown;
        }
        words_at(arr_addr(c))[count] = W_UNDEFINED;
        arr_count(c) = count + 1;
        g_loc.kind = LOC_ELEMENT;
        g_loc.index = n;
        g_loc.owner = a;
        g_loc.is_const = false;
        return W_UNDEFINED;
    }
    case TAG_SPARSE:
        return pair_access(a, intkey_word(n), false, create);
    case TAG_STRING:
        return string_char_at(a, n);
    default:
        access_error(2030, "オペランド不正[index]");
    }
}

ValueWord index_name(ValueWord a, uint32_t name, bool create) {
    uint32_t tag = word_tag(a);
    if (tag != TAG_OBJECT && tag != TAG_SPARSE) access_error(2023, "オペランド不正[index]");
    return pair_access(a, name_word(name), true, create);
}

ValueWord op_index(Cell* node) {
    ValueWord aw = node->d4;
    ValueWord iw = node->d8;
    clear_location();
    bool create = g_create_mode;
    ValueWord a = eval_container(aw);
    Location aloc = g_loc;
    if (!has_location_shape(aw)) aloc.kind = LOC_NONE;
    ValueWord key;
    uint32_t itag = word_tag(iw);
    if (itag == TAG_NODE || (itag == TAG_STRING && str_mark(dw_cell(iw)) < 0)) {
        // Keep the container alive while the index is computed, with
        // create mode off (reading b[k] in a[b[k]] = v adds nothing to b).
        retain(a);
        g_create_mode = false;
        key = evaluate(iw);
        g_create_mode = create;
        unhold(a);
    } else if (itag == TAG_NAME && iw > W_NAN) {
        key = lookup_name(iw);
    } else {
        key = evaluate(iw);
    }
    ValueWord result;
    switch (word_tag(key)) {
    case TAG_INT: {
        int32_t n = cell_int(dw_cell(key));
        release_temp(key);
        if (n < 0) access_error(2025, "インデックス不正");
        result = index_integer(a, aloc, static_cast<uint32_t>(n), create);
        break;
    }
    case TAG_NAME:
        result = index_name(a, word_payload(key), create);
        break;
    case TAG_STRING: {
        uint32_t len = string_length(key);
        if (len > 255) access_error(2032, "インデックス不正");
        uint32_t name = intern(string_text(key), len);
        release_temp(key);
        result = index_name(a, name, create);
        break;
    }
    default:
        access_error(2032, "インデックス不正");
    }
    return finish_access(a, result);
}

// The RegExp property list, 12 characters per entry.
constexpr const char REGEXP_PROPERTIES[] =
    "flags       dotAll      global      ignoreCase  multiline   source      sticky      unicode     lastIndex   ";

int regexp_property_index(uint32_t name) {
    const char* text = name_text(name);
    size_t len = name_length(name);
    if (len == 0 || len > 12) return -1;
    for (int i = 0; i < 9; ++i) {
        const char* e = REGEXP_PROPERTIES + 12 * i;
        if (std::memcmp(e, text, len) == 0 && (len == 12 || e[len] == ' ')) return i;
    }
    return -1;
}

ValueWord op_member(Cell* node) {
    clear_location();
    bool create = g_create_mode;
    ValueWord a = eval_container(node->d4);
    uint32_t name = word_payload(node->d8);
    uint32_t tag = word_tag(a);
    ValueWord result;
    if (tag == TAG_ERROR) {
        clear_location();
        if (name == N_NAME) {
            const char* code = error_code_text(a);
            result = make_string(code, std::strlen(code));
        } else if (name == N_MESSAGE) {
            size_t len = 0;
            const char* msg = error_message_text(a, &len);
            result = make_string(msg, len);
        } else {
            access_error(2035, "ステートメント不正(key/method)");
        }
        return finish_access(a, result);
    }
    if (name == N_LENGTH) {
        clear_location();
        switch (tag) {
        case TAG_NAME: result = int_value(static_cast<int32_t>(name_length(word_payload(a)))); break;
        case TAG_STRING: result = int_value(static_cast<int32_t>(string_length(a))); break;
        case TAG_SPARSE:
            // A sparse array with a `length` key (exec's indices) reads it.
            result = pair_access(a, name_word(N_LENGTH), true, false);
            if (result != W_UNDEFINED) break;
            result = int_value(static_cast<int32_t>(arr_count(dw_cell(a))));
            break;
        case TAG_ARRAY: result = int_value(static_cast<int32_t>(arr_count(dw_cell(a)))); break;
        case TAG_OBJECT: result = int_value(obj_count(dw_cell(a))); break;
        default: result = W_UNDEFINED; break;
        }
        return finish_access(a, result);
    }
    if (tag == TAG_OBJECT) return finish_access(a, pair_access(a, name_word(name), true, create));
    // A sparse array (an exec result, say) reads its name keys as m["name"].
    if (tag == TAG_SPARSE) return finish_access(a, pair_access(a, name_word(name), true, create));
    if (tag == TAG_REGEXP) {
        int prop = regexp_property_index(name);
        if (prop < 0) access_error(5080, "正規表現プロパティ不正");
        g_create_mode = false;
        if (g_regexp_property == nullptr) not_available(4600, "RegExp");
        g_create_mode = create;
        result = g_regexp_property(a, prop);
        if (prop == REGEXP_PROP_LAST_INDEX) {
            g_loc.kind = LOC_LASTINDEX;
            g_loc.index = 0;
            g_loc.owner = a;
            g_loc.is_const = false;
        } else {
            clear_location();
        }
        return finish_access(a, result);
    }
    access_error(2035, "ステートメント不正(key/method)");
}

// ---- Simple forms ----

ValueWord op_placeholder(Cell*) { return W_UNDEFINED; }

ValueWord op_not(Cell* node) {
    ValueWord v = evaluate(node->d4);
    bool t = truthiness(v);
    release_temp(v);
    return t ? W_FALSE : W_TRUE;
}

// && (stop = false) and || (stop = true) over their operands: the first
// operand whose truth is `stop` decides, else the other answer.
template <bool stop>
inline ValueWord logical_chain(Cell* node) {
    uint32_t n = node_operand_count(node);
    const AreaWord* ops = node_operand_words(node);
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord v = evaluate(ops[i]);
        bool t = truthiness(v);
        release_temp(v);
        if (t == stop) return stop ? W_TRUE : W_FALSE;
    }
    return stop ? W_FALSE : W_TRUE;
}

ValueWord op_and(Cell* node) { return logical_chain<false>(node); }

ValueWord op_or(Cell* node) { return logical_chain<true>(node); }

ValueWord op_conditional(Cell* node) {
    const AreaWord* ops = node_operand_words(node);
    if (node_operand_count(node) < 3) return W_UNDEFINED;
    ValueWord c = evaluate(ops[0]);
    bool t = truthiness(c);
    release_temp(c);
    return evaluate(t ? ops[1] : ops[2]);
}

ValueWord op_sequence(Cell* node) {
    uint32_t n = node_operand_count(node);
    if (n == 1) return evaluate(node->d4);
    if (n == 0) return W_UNDEFINED;
    const AreaWord* ops = node_operand_words(node);
    for (uint32_t i = 0; i + 1 < n; ++i) release_temp(evaluate_discarded(ops[i]));
    return evaluate(ops[n - 1]);
}

// Array(a, b, ...): a new Array of copies of the arguments.
ValueWord op_array_call(Cell* node) {
    uint32_t n = node_operand_count(node);
    AreaWord* elems;
    uint32_t addr = word_block(static_cast<size_t>(n) + 10, &elems);
    ValueWord out;
    Cell* c = dw_alloc(TAG_ARRAY, &out, 0);
    arr_addr(c) = addr;
    arr_cap(c) = n + 10;
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord v = evaluate(node_operand_words(node)[i]);
        ValueWord copy = value_copy(v);
        // Shared kinds come back already retained for the new holder.
        if (copy != v) retain(copy);
        release_temp(v);
        elems[i] = copy;
        arr_count(c) = i + 1;
    }
    return out;
}

}  // namespace

void register_core_routines() {
    g_op_table[OP_PLACEHOLDER] = op_placeholder;
    g_op_table[OP_NOT] = op_not;
    g_op_table[OP_AND] = op_and;
    g_op_table[OP_OR] = op_or;
    g_op_table[OP_COND] = op_conditional;
    g_op_table[OP_COLON] = op_placeholder;
    g_op_table[OP_INDEX] = op_index;
    g_op_table[OP_MEMBER] = op_member;
    g_op_table[OP_COMMA] = op_placeholder;
    g_op_table[OP_GROUP] = op_sequence;
    g_op_table[OP_ARRAY] = op_array_call;
}

uint32_t object_append_pair(ValueWord obj, ValueWord key) {
    Cell* c = dw_cell(obj);
    uint32_t n = obj_count(c);
    if (n >= OBJECT_MAX_PAIRS) report_error(1400, "メモリ領域を取得できません");
    uint32_t cap = obj_cap(c);
    obj_addr(c) = append_pair(obj_addr(c), n, &cap, key, OBJECT_MAX_PAIRS);
    set_obj_cap(c, cap);
    set_obj_count(c, n + 1);
    return n;
}

}  // namespace velt
