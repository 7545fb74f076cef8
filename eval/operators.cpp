// The operator routines of the operation table and their coercions.
#include "eval/operators.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/expr.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

constexpr ValueWord NAME_BITS = 0x0FFFFFFFu;
constexpr size_t NUMBER_TEXT = 400;  // format_float's buffer
constexpr size_t COMPARE_COPY = 511;

inline int32_t int_of(ValueWord w) { return cell_int(dw_cell(w)); }
inline double float_of(ValueWord w) { return cell_float(dw_cell(w)); }
inline bool is_temp(ValueWord w) { return is_unheld(w); }
// Reference nibble of a number (its cell's header).
inline uint32_t number_nibble(ValueWord w) { return dw_cell(w)->hdr >> 4u; }

// An integer result of 64-bit arithmetic, wrapped to 32 bits.
inline int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

// The text a value contributes to a concatenation: a string's bytes, a
// number's "%d" / trimmed "%.10f" text, a tag-0 word's name-table text.
struct Piece {
    const char* text;
    size_t len;
    char buf[NUMBER_TEXT];
};

inline void piece_of(ValueWord v, Piece& p) {
    switch (word_tag(v)) {
    case TAG_STRING:
        p.text = string_text(v);
        p.len = string_length(v);
        return;
    case TAG_INT:
        p.len = format_int(p.buf, int_of(v));
        p.text = p.buf;
        return;
    case TAG_FLOAT:
        p.len = format_float(p.buf, float_of(v));
        p.text = p.buf;
        return;
    default:  // tag 0
        p.text = name_text(word_payload(v));
        p.len = name_length(word_payload(v));
        return;
    }
}

inline bool is_number_tag(uint32_t t) { return t == TAG_INT || t == TAG_FLOAT; }

// ---- Numeric folds of -, *, /, %, ** ----

enum ArithKind { A_SUB, A_MUL, A_DIV, A_MOD, A_POW };

[[noreturn]] void divide_by_zero() { report_error(2330, "オペレーション不正(０割)"); }

inline double floored_mod(double a, double b) { return a - std::floor(a / b) * b; }

// acc := acc op b over doubles. A remainder by zero is NaN when the
// operation is floating and error 2330 otherwise (an integer cannot hold
// NaN).
inline double fold(ArithKind k, double acc, double b, bool floating) {
    switch (k) {
    case A_SUB: return acc - b;
    case A_MUL: return acc * b;
    case A_DIV:
        if (b == 0) divide_by_zero();
        return acc / b;
    case A_MOD:
        if (b == 0) {
            if (!floating) divide_by_zero();
            return std::nan("");
        }
        return floored_mod(acc, b);
    case A_POW: return std::pow(acc, b);
    }
    return acc;
}

// Both operands integers: the exact result, wrapped to 32 bits.
inline int32_t fold_int(ArithKind k, int32_t a, int32_t b) {
    int64_t x = a, y = b;
    switch (k) {
    case A_SUB: return wrap32(x - y);
    case A_MUL: return wrap32(x * y);
    case A_DIV:
        if (y == 0) divide_by_zero();
        return wrap32(x / y);
    case A_MOD: {
        if (y == 0) divide_by_zero();
        int64_t r = x % y;
        if (r != 0 && ((r < 0) != (y < 0))) r += y;
        return wrap32(r);
    }
    case A_POW: return int_from_double(std::pow(static_cast<double>(a), static_cast<double>(b)));
    }
    return 0;
}

// An integer result: a temporary integer input is reused in place,
// otherwise a small value's permanent cell or a new integer.
inline ValueWord int_result(int32_t v, ValueWord reuse) {
    if (reuse != 0) {
        set_cell_int(dw_cell(reuse), v);
        return reuse;
    }
    return int_value(v);
}

ValueWord arith(Cell* node, ArithKind k) {
    uint32_t n = node_operand_count(node);
    const AreaWord* ops = node_operand_words(node);
    if (n == 0) return W_UNDEFINED;
    ValueWord first = evaluate(ops[0]);
    if (n == 1) return first;
    if (n == 2 && word_tag(first) == TAG_INT) {
        // Integer fast path of the binary form.
        int32_t a = int_of(first);
        bool first_temp = is_temp(first);
        ValueWord second = evaluate(ops[1]);
        if (word_tag(second) == TAG_INT) {
            int32_t r = fold_int(k, a, int_of(second));
            if (first_temp) {
                if (second != first) release_temp(second);
                return int_result(r, first);
            }
            return int_result(r, is_temp(second) ? second : 0);
        }
        bool floating = false;
        double b = read_numeric(second, &floating);
        release_temp(second);
        if (first_temp) release_temp(first);
        double r = fold(k, static_cast<double>(a), b, floating);
        return floating ? new_float(r) : int_value(int_from_double(r));
    }
    bool floating = false;
    double acc = read_numeric(first, &floating);
    release_temp(first);
    for (uint32_t i = 1; i < n; ++i) {
        ValueWord v = evaluate(ops[i]);
        double b = read_numeric(v, &floating);
        release_temp(v);
        acc = fold(k, acc, b, floating);
    }
    return floating ? new_float(acc) : int_value(int_from_double(acc));
}

ValueWord op_sub(Cell* node) { return arith(node, A_SUB); }
ValueWord op_mul(Cell* node) { return arith(node, A_MUL); }
ValueWord op_div(Cell* node) { return arith(node, A_DIV); }
ValueWord op_mod(Cell* node) { return arith(node, A_MOD); }
ValueWord op_pow(Cell* node) { return arith(node, A_POW); }

// ---- Addition ----

// Evaluates the next operand while `held` stays alive (a side effect of the
// operand may drop the last other hold on it).
inline ValueWord evaluate_keeping(ValueWord operand, ValueWord held) {
    if (word_tag(operand) != TAG_NODE) return evaluate(operand);
    retain(held);
    ValueWord v = evaluate(operand);
    unhold(held);
    return v;
}

ValueWord op_add(Cell* node) {
    uint32_t n = node_operand_count(node);
    const AreaWord* ops = node_operand_words(node);
    if (n == 0) return W_UNDEFINED;
    ValueWord acc = evaluate(ops[0]);
    for (uint32_t i = 1; i < n; ++i) {
        if (word_tag(acc) == TAG_INT) {
            // The integer is read before the next operand runs, so no hold
            // is needed; a temporary accumulator is reused in place.
            int32_t a = int_of(acc);
            bool a_temp = is_temp(acc);
            ValueWord v = evaluate(ops[i]);
            if (word_tag(v) == TAG_INT) {
                int32_t r = wrap32(static_cast<int64_t>(a) + int_of(v));
                if (a_temp) {
                    if (v != acc) release_temp(v);
                    set_cell_int(dw_cell(acc), r);
                } else {
                    acc = int_result(r, is_temp(v) ? v : 0);
                }
                continue;
            }
            if (!a_temp) acc = new_int(a);
            ValueWord sum = add_values(acc, v);
            release_temp(acc);
            release_temp(v);
            acc = sum;
            continue;
        }
        ValueWord v = evaluate_keeping(ops[i], acc);
        ValueWord sum = add_values(acc, v);
        release_temp(acc);
        if (v != acc) release_temp(v);
        acc = sum;
    }
    return acc;
}

// ---- Comparison ----

// A number text for comparing with a number: copied (at most 511 bytes),
// leading blanks and tabs skipped, read with strtod. False when a rest
// remains.
bool number_of_text(ValueWord s, double* out) {
    char buf[COMPARE_COPY + 1];
    uint32_t len = string_length(s);
    if (len > COMPARE_COPY) len = COMPARE_COPY;
    std::memcpy(buf, string_text(s), len);
    buf[len] = '\0';
    const char* p = buf;
    while (*p == ' ' || *p == '\t') ++p;
    char* end = nullptr;
    *out = std::strtod(p, &end);
    return *end == '\0';
}

inline bool compare_doubles(uint32_t op, double a, double b) {
    switch (op) {
    case OP_EQ: return a == b;
    case OP_NE: return a != b;
    case OP_GE: return a >= b;
    case OP_GT: return a > b;
    case OP_LE: return a <= b;
    default: return a < b;
    }
}

inline bool compare_order(uint32_t op, int c) {
    switch (op) {
    case OP_EQ: return c == 0;
    case OP_NE: return c != 0;
    case OP_GE: return c >= 0;
    case OP_GT: return c > 0;
    case OP_LE: return c <= 0;
    default: return c < 0;
    }
}

inline double number_of(ValueWord w) {
    return word_tag(w) == TAG_INT ? static_cast<double>(int_of(w)) : float_of(w);
}

ValueWord op_compare(Cell* node) {
    uint32_t op = node->b3;
    ValueWord a = evaluate(node->d4);
    if (word_tag(a) == TAG_INT) {
        // Integer fast path: the number is read before b runs.
        int32_t x = int_of(a);
        bool a_temp = is_temp(a);
        ValueWord b = evaluate(node->d8);
        bool r;
        if (word_tag(b) == TAG_INT) {
            int32_t y = int_of(b);
            r = compare_order(op, x < y ? -1 : (x > y ? 1 : 0));
        } else {
            if (!a_temp) a = new_int(x);
            r = compare_values(op, a, b);
        }
        if (b != a) release_temp(b);
        release_temp(a);
        return r ? W_TRUE : W_FALSE;
    }
    ValueWord b = evaluate_keeping(node->d8, a);
    bool r = compare_values(op, a, b);
    release_temp(a);
    if (b != a) release_temp(b);
    return r ? W_TRUE : W_FALSE;
}

ValueWord op_strict(Cell* node) {
    ValueWord a = evaluate(node->d4);
    ValueWord b = evaluate_keeping(node->d8, a);
    bool eq = strict_equals(a, b);
    release_temp(a);
    if (b != a) release_temp(b);
    if (node->b3 == OP_STRICT_NE) eq = !eq;
    return eq ? W_TRUE : W_FALSE;
}

// ---- Bitwise operators ----

ValueWord op_bitwise(Cell* node) {
    uint32_t op = node->b3;
    uint32_t n = node_operand_count(node);
    const AreaWord* ops = node_operand_words(node);
    if (n == 0) return W_UNDEFINED;
    ValueWord first = evaluate(ops[0]);
    if (word_tag(first) != TAG_INT) report_error(2257, "オペランド不正(非整数)");
    int32_t acc = int_of(first);
    ValueWord reuse = is_temp(first) ? first : 0;
    for (uint32_t i = 1; i < n; ++i) {
        ValueWord v = evaluate(ops[i]);
        if (word_tag(v) != TAG_INT) report_error(2260, "オペランド不正(非整数)");
        int32_t b = int_of(v);
        if (reuse == 0 && is_temp(v)) reuse = v;  // a temporary operand takes the result
        else if (v != reuse) release_temp(v);
        if (op == OP_BIT_AND) acc &= b;
        else if (op == OP_BIT_OR) acc |= b;
        else acc ^= b;
    }
    return int_result(acc, reuse);
}

ValueWord op_shift(Cell* node) {
    uint32_t op = node->b3;
    ValueWord a = evaluate(node->d4);
    if (word_tag(a) != TAG_INT) report_error(2265, "オペランド不正(非整数)");
    int32_t x = int_of(a);
    bool a_temp = is_temp(a);
    ValueWord b = evaluate(node->d8);
    if (word_tag(b) != TAG_INT) report_error(2270, "オペランド不正(非整数)");
    int32_t count = int_of(b);
    if (b != a) release_temp(b);
    if (count < 0) report_error(2275, "シフト数不正");
    uint32_t u = static_cast<uint32_t>(x);
    uint32_t s = static_cast<uint32_t>(count) % 32;
    int32_t r;
    if (op == OP_SHL) {
        r = static_cast<int32_t>(u << s);
    } else if (op == OP_SHR) {
        r = x >> s;
    } else if (count == 0) {
        r = x;
    } else {
        r = static_cast<int32_t>((u >> 1) >> ((static_cast<uint32_t>(count) - 1) % 32));
    }
    return int_result(r, a_temp ? a : 0);
}

ValueWord op_bit_not(Cell* node) {
    ValueWord a = evaluate(node->d4);
    if (word_tag(a) != TAG_INT) report_error(2280, "オペランド不正(非整数)");
    int32_t r = ~int_of(a);
    return int_result(r, is_temp(a) ? a : 0);
}

// ---- typeof, instanceof ----

ValueWord op_typeof(Cell* node) {
    ValueWord v = evaluate(node->d4);
    const char* t = typeof_text(v);
    ValueWord s = make_string(t, std::strlen(t));
    release_temp(v);
    return s;
}

ValueWord op_instanceof(Cell* node) {
    ValueWord v = evaluate(node->d4);
    bool r = instance_of(v, word_payload(node->d8));
    release_temp(v);
    return r ? W_TRUE : W_FALSE;
}

// ---- Assignment ----

// Evaluates an assignment target under create mode; leaves its location in
// g_loc and returns the target's current value.
inline ValueWord evaluate_target(ValueWord target) {
    if (word_tag(target) == TAG_NAME && target > W_NAN) return lookup_name(target);
    clear_location();
    g_create_mode = true;
    ValueWord t = evaluate(target);
    g_create_mode = false;
    if (!has_location_shape(target)) clear_location();
    return t;
}

inline bool owner_kind(uint32_t kind) {
    return kind == LOC_ELEMENT || kind == LOC_PAIR || kind == LOC_LASTINDEX;
}

// Whether the integer t may take a compound result in place: the location
// still holds it and is its only holder (nibble 1).
inline bool int_in_place(const Location& loc, ValueWord t) {
    if (loc.kind == LOC_NONE || loc.kind == LOC_LASTINDEX || number_nibble(t) != 1) return false;
    const AreaWord* slot = location_slot(loc);
    return slot != nullptr && *slot == t;
}

// Whether the string t may be extended in place: a plain string (no
// template mark) that the location still holds and that has no other
// holder than the location and this routine's own hold (nibble 2).
inline bool string_in_place(const Location& loc, ValueWord t) {
    if (loc.kind == LOC_NONE || loc.kind == LOC_LASTINDEX) return false;
    if (str_mark(dw_cell(t)) != 0 || value_nibble(t) != 2) return false;
    const AreaWord* slot = location_slot(loc);
    return slot != nullptr && *slot == t;
}

ValueWord op_assign(Cell* node) {
    ValueWord v = evaluate(node->d8);
    ValueWord target = node->d4;
    ValueWord t;
    if (word_tag(target) == TAG_NODE) {
        retain(v);
        t = evaluate_target(target);
        unhold(v);
    } else {
        t = evaluate_target(target);
    }
    Location loc = g_loc;
    if (t != v) release_temp(t);
    if (loc.is_const) report_error(2320, "オペレーション不正");
    if (loc.kind == LOC_NONE) return v;
    if (loc.kind == LOC_LOCAL && static_cast<int>(loc.index) <= g_locals.top) {
        // A local found just now: store without the general resolution.
        AreaWord* slot = &g_locals.slots[loc.index].value;
        retain(v);
        ValueWord old = *slot;
        *slot = v;
        drop_hold(old);
        return v;
    }
    store_location(loc, v);
    return v;
}

// `+=`: integer + integer wraps, a float on either side gives a float, a
// string with a number or string concatenates; anything else is 2255.
ValueWord op_add_assign(Cell* node) {
    ValueWord t = evaluate_target(node->d4);
    Location loc = g_loc;
    if (loc.is_const) report_error(2245, "オペレーション不正(+=)");
    if (loc.kind == LOC_NONE) report_error(2250, "オペレーション不正(+=)");
    // The target's value and its container stay alive while the right
    // side runs.
    retain(t);
    bool owned = owner_kind(loc.kind);
    if (owned) retain(loc.owner);
    ValueWord v = evaluate(node->d8);
    uint32_t tt = word_tag(t), vt = word_tag(v);
    ValueWord result;
    if (tt == TAG_INT && vt == TAG_INT) {
        int32_t r = wrap32(static_cast<int64_t>(int_of(t)) + int_of(v));
        unhold(t);  // drops our hold only; the location's stays
        if (int_in_place(loc, t)) {
            if (v != t) release_temp(v);
            set_cell_int(dw_cell(t), r);
            if (owned) value_release(loc.owner);
            return t;
        }
        retain(t);
        result = new_int(r, 1);
    } else if (is_number_tag(tt) && is_number_tag(vt)) {
        result = new_float(number_of(t) + number_of(v), 1);
    } else if ((tt == TAG_STRING && (vt == TAG_STRING || is_number_tag(vt))) ||
               (vt == TAG_STRING && is_number_tag(tt))) {
        if (tt == TAG_STRING && v != t && string_in_place(loc, t)) {
            // Nobody else sees the string: extend it where it is.
            Piece b;
            piece_of(v, b);
            string_append_in_place(t, b.text, b.len);
            unhold(t);
            release_temp(v);
            if (owned) value_release(loc.owner);
            return t;
        }
        Piece a, b;
        piece_of(t, a);
        piece_of(v, b);
        result = retain(make_string_pair(a.text, a.len, b.text, b.len));
    } else {
        value_release(t);
        if (owned) value_release(loc.owner);
        report_error(2255, "オペレーション(+=)のデータ型不正");
    }
    if (v != t) release_temp(v);
    store_location_held(loc, result);
    value_release(t);
    if (owned) value_release(loc.owner);
    return result;
}

ValueWord compound_arith(Cell* node, ArithKind k) {
    ValueWord v = evaluate(node->d8);
    bool floating = false;
    bool v_int = word_tag(v) == TAG_INT;
    int32_t vi = v_int ? int_of(v) : 0;
    double b = read_numeric(v, &floating);
    release_temp(v);
    ValueWord t = evaluate_target(node->d4);
    Location loc = g_loc;
    if (loc.is_const) report_error(2315, "オペレーション不正");
    ValueWord result;
    if (v_int && word_tag(t) == TAG_INT) {
        int32_t r = fold_int(k, int_of(t), vi);
        if (loc.kind == LOC_NONE) {
            release_temp(t);
            report_error(2317, "オペレーション不正");
        }
        if (int_in_place(loc, t)) {
            set_cell_int(dw_cell(t), r);
            return t;
        }
        result = new_int(r, 1);
    } else {
        double a = read_numeric(t, &floating);
        double r = fold(k, a, b, floating);
        result = floating ? new_float(r, 1) : new_int(int_from_double(r), 1);
    }
    release_temp(t);
    if (loc.kind == LOC_NONE) {
        value_release(result);
        report_error(2317, "オペレーション不正");
    }
    store_location_held(loc, result);
    return result;
}

ValueWord op_sub_assign(Cell* node) { return compound_arith(node, A_SUB); }
ValueWord op_mul_assign(Cell* node) { return compound_arith(node, A_MUL); }
ValueWord op_div_assign(Cell* node) { return compound_arith(node, A_DIV); }
ValueWord op_mod_assign(Cell* node) { return compound_arith(node, A_MOD); }

ValueWord op_bit_assign(Cell* node) {
    ValueWord v = evaluate(node->d8);
    if (word_tag(v) != TAG_INT) report_error(2285, "オペランド不正(非整数)");
    int32_t b = int_of(v);
    release_temp(v);
    ValueWord t = evaluate_target(node->d4);
    Location loc = g_loc;
    if (loc.is_const) report_error(2290, "オペレーション不正");
    if (word_tag(t) != TAG_INT) report_error(2295, "オペランド不正(非整数)");
    int32_t a = int_of(t);
    release_temp(t);
    int32_t r = node->b3 == OP_AND_ASSIGN ? (a & b) : node->b3 == OP_OR_ASSIGN ? (a | b) : (a ^ b);
    if (loc.kind == LOC_NONE) report_error(2300, "オペレーション不正");
    ValueWord result = new_int(r, 1);
    store_location_held(loc, result);
    return result;
}

// ---- Increment and decrement ----

struct StepCodes {
    int const_code;
    int kind_code;
    const char* message;
};

ValueWord step(Cell* node, int delta, bool prefix, const StepCodes& codes) {
    ValueWord operand = node->d4;
    ValueWord t;
    if (word_tag(operand) == TAG_NAME && operand > W_NAN) {
        t = lookup_name(operand);  // always leaves a location
    } else {
        clear_location();
        t = evaluate(operand);
        if (!has_location_shape(operand)) clear_location();
    }
    Location loc = g_loc;
    if (loc.is_const) report_error(codes.const_code, "%s", codes.message);
    uint32_t tag = word_tag(t);
    if ((tag != TAG_INT && tag != TAG_FLOAT) || loc.kind == LOC_NONE) {
        release_temp(t);
        report_error(codes.kind_code, "%s", codes.message);
    }
    if (loc.kind == LOC_LASTINDEX) {
        ValueWord nv = tag == TAG_INT ? new_int(wrap32(static_cast<int64_t>(int_of(t)) + delta))
                                      : new_float(float_of(t) + delta);
        store_location(loc, nv);
        if (prefix) {
            release_temp(t);
            return nv;
        }
        release_temp(nv);
        return t;
    }
    // A local found just now needs no checks.
    AreaWord* slot = loc.kind == LOC_LOCAL ? &g_locals.slots[loc.index].value : location_slot(loc);
    if (slot == nullptr) report_error(2000, "value_ptrのタイプ不正");
    if (*slot == t && number_nibble(t) == 1) {
        // Held only by this location: the new value replaces it in place.
        if (prefix) {
            Cell* c = dw_cell(t);
            if (tag == TAG_INT) set_cell_int(c, wrap32(static_cast<int64_t>(cell_int(c)) + delta));
            else set_cell_float(c, cell_float(c) + delta);
            return t;
        }
        if (tag == TAG_INT) {
            // x++ of an integer: the old value goes back as a small
            // integer's permanent cell or a new temporary.
            int32_t old = int_of(t);
            ValueWord r = int_value(old);
            set_cell_int(dw_cell(t), wrap32(static_cast<int64_t>(old) + delta));
            return r;
        }
    }
    ValueWord nv = tag == TAG_INT ? new_int(wrap32(static_cast<int64_t>(int_of(t)) + delta), 1)
                                  : new_float(float_of(t) + delta, 1);
    ValueWord old = *slot;
    *slot = nv;
    if (prefix) {
        drop_hold(old);
        return nv;
    }
    unhold(old);
    return t;
}

constexpr StepCodes k_post_inc = {2200, 2205, "オペレーション不正(++)"};
constexpr StepCodes k_pre_inc = {2210, 2215, "オペレーション不正(++)"};
constexpr StepCodes k_post_dec = {2220, 2225, "オペレーション不正(--)"};
constexpr StepCodes k_pre_dec = {2230, 2235, "オペレーション不正(--)"};

ValueWord op_post_inc(Cell* node) { return step(node, 1, false, k_post_inc); }
ValueWord op_pre_inc(Cell* node) { return step(node, 1, true, k_pre_inc); }
ValueWord op_post_dec(Cell* node) { return step(node, -1, false, k_post_dec); }
ValueWord op_pre_dec(Cell* node) { return step(node, -1, true, k_pre_dec); }

}  // namespace

ValueWord evaluate_discarded(ValueWord w) {
    if (word_tag(w) == TAG_NODE) {
        Cell* c = dw_cell(w);
        uint32_t op = c->b3;
        if ((op == OP_POST_INC || op == OP_POST_DEC) && g_dispatch == g_op_table) {
            set_position(c);
            if (g_debug_hook) g_debug_hook(c);
            return op == OP_POST_INC ? step(c, 1, true, k_post_inc) : step(c, -1, true, k_post_dec);
        }
    }
    return evaluate(w);
}

namespace {

// ---- Integer(x), Float(x) ----

ValueWord conversion(Cell* node, bool to_integer) {
    uint32_t n = node_operand_count(node);
    if (n > 1) report_error(to_integer ? 2375 : 2380, "引数の個数不正");
    ValueWord arg = n ? evaluate(node_operand_words(node)[0]) : W_UNDEFINED;
    int argc = static_cast<int>(n);
    ValueWord r = to_integer ? convert_integer(&arg, argc) : convert_float(&arg, argc);
    if (n) release_temp(arg);
    return r;
}

ValueWord op_integer(Cell* node) { return conversion(node, true); }
ValueWord op_float(Cell* node) { return conversion(node, false); }

}  // namespace

// ---- Shared pieces ----

int32_t int_from_double(double d) {
    if (!std::isfinite(d)) return 0;
    double t = std::trunc(d);
    if (t >= -2147483648.0 && t <= 2147483647.0) return static_cast<int32_t>(t);
    double m = std::fmod(t, 4294967296.0);
    if (m < 0) m += 4294967296.0;
    return static_cast<int32_t>(static_cast<uint32_t>(m));
}

double read_numeric(ValueWord v, bool* floating) {
    switch (word_tag(v)) {
    case TAG_INT: return static_cast<double>(int_of(v));
    case TAG_FLOAT:
        *floating = true;
        return float_of(v);
    case TAG_STRING: {
        const char* text = string_text(v);
        char* end = nullptr;
        double d = std::strtod(text, &end);
        if (*end != '\0') report_error(2305, "オペランド不正(非数値)");
        if (std::memchr(text, '.', string_length(v)) != nullptr) *floating = true;
        return d;
    }
    default:
        report_error(2310, "オペランド不正(非数値)");
    }
}

ValueWord add_values(ValueWord a, ValueWord b) {
    uint32_t ta = word_tag(a), tb = word_tag(b);
    if (ta == TAG_INT && tb == TAG_INT) return int_value(wrap32(static_cast<int64_t>(int_of(a)) + int_of(b)));
    if (is_number_tag(ta) && is_number_tag(tb)) return new_float(number_of(a) + number_of(b));
    bool ok;
    if (ta == TAG_STRING) ok = tb == TAG_STRING || tb == TAG_NAME || is_number_tag(tb);
    else if (tb == TAG_STRING) ok = ta == TAG_NAME || is_number_tag(ta);
    else ok = ta == TAG_NAME && tb == TAG_NAME;
    if (!ok) report_error(2240, "データの型不正(+)");
    Piece pa, pb;
    piece_of(a, pa);
    piece_of(b, pb);
    return make_string_pair(pa.text, pa.len, pb.text, pb.len);
}

bool compare_values(uint32_t op, ValueWord a, ValueWord b) {
    uint32_t ta = word_tag(a), tb = word_tag(b);
    bool na = is_number_tag(ta), nb = is_number_tag(tb);
    if (na && nb) return compare_doubles(op, number_of(a), number_of(b));
    // A text that is not a whole number compares false, except that `!=`
    // stays the negation of `==`.
    if (na && tb == TAG_STRING) {
        double y;
        if (!number_of_text(b, &y)) return op == OP_NE;
        return compare_doubles(op, number_of(a), y);
    }
    if (ta == TAG_STRING && nb) {
        double x;
        if (!number_of_text(a, &x)) return op == OP_NE;
        return compare_doubles(op, x, number_of(b));
    }
    if (ta == TAG_STRING && tb == TAG_STRING) {
        uint32_t la = string_length(a), lb = string_length(b);
        int c = std::memcmp(string_text(a), string_text(b), la < lb ? la : lb);
        if (c == 0) c = la < lb ? -1 : (la > lb ? 1 : 0);
        return compare_order(op, c);
    }
    bool same = (a & NAME_BITS) == (b & NAME_BITS);
    return op == OP_NE ? !same : same;
}

bool strict_equals(ValueWord a, ValueWord b) {
    uint32_t ta = word_tag(a), tb = word_tag(b);
    if (ta == TAG_INT && tb == TAG_INT) return int_of(a) == int_of(b);
    if (ta == TAG_FLOAT && tb == TAG_FLOAT) return float_of(a) == float_of(b);
    if (ta == TAG_STRING && tb == TAG_STRING) {
        uint32_t la = string_length(a);
        return la == string_length(b) && std::memcmp(string_text(a), string_text(b), la) == 0;
    }
    return a == b;
}

const char* typeof_text(ValueWord v) {
    switch (word_tag(v)) {
    case TAG_NAME:
        if (v == W_UNDEFINED) return "undefined";
        if (v == W_TRUE || v == W_FALSE) return "boolean";
        if (v == W_NULL) return "object";
        return "symbol";
    case TAG_INT:
    case TAG_FLOAT: return "number";
    case TAG_STRING: return "string";
    case TAG_FUNCTION: return "function";
    case TAG_OBJECT: {
        uint32_t cls = obj_class(dw_cell(v));
        if (cls != 0 && name_length(cls) != 0) return name_text(cls);
        return "object";
    }
    default: return "object";
    }
}

bool instance_of(ValueWord v, uint32_t cls) {
    if (cls == N_OBJECT) return true;
    switch (word_tag(v)) {
    case TAG_INT:
    case TAG_FLOAT: return cls == N_NUMBER;
    case TAG_DBCONN: return cls == N_CONNECTION;
    case TAG_DATE: return cls == N_DATE;
    case TAG_REGEXP: return cls == N_REGEXP;
    case TAG_STRING: return cls == N_STRING;
    case TAG_ARRAY:
    case TAG_SPARSE: return cls == N_ARRAY;
    case TAG_OBJECT: {
        uint32_t own = obj_class(dw_cell(v));
        return cls == N_HASH || (own != 0 && own == cls);
    }
    case TAG_FUNCTION: return cls == N_FUNCTION;
    default: return false;
    }
}

void register_operator_routines() {
    g_op_table[OP_POST_INC] = op_post_inc;
    g_op_table[OP_POST_DEC] = op_post_dec;
    g_op_table[OP_PRE_INC] = op_pre_inc;
    g_op_table[OP_PRE_DEC] = op_pre_dec;
    g_op_table[OP_TYPEOF] = op_typeof;
    g_op_table[OP_INSTANCEOF] = op_instanceof;
    g_op_table[OP_EQ] = op_compare;
    g_op_table[OP_STRICT_EQ] = op_strict;
    g_op_table[OP_NE] = op_compare;
    g_op_table[OP_STRICT_NE] = op_strict;
    g_op_table[OP_GE] = op_compare;
    g_op_table[OP_GT] = op_compare;
    g_op_table[OP_LE] = op_compare;
    g_op_table[OP_LT] = op_compare;
    g_op_table[OP_ADD] = op_add;
    g_op_table[OP_SUB] = op_sub;
    g_op_table[OP_MUL] = op_mul;
    g_op_table[OP_DIV] = op_div;
    g_op_table[OP_MOD] = op_mod;
    g_op_table[OP_ASSIGN] = op_assign;
    g_op_table[OP_ADD_ASSIGN] = op_add_assign;
    g_op_table[OP_SUB_ASSIGN] = op_sub_assign;
    g_op_table[OP_MUL_ASSIGN] = op_mul_assign;
    g_op_table[OP_DIV_ASSIGN] = op_div_assign;
    g_op_table[OP_MOD_ASSIGN] = op_mod_assign;
    g_op_table[OP_AND_ASSIGN] = op_bit_assign;
    g_op_table[OP_OR_ASSIGN] = op_bit_assign;
    g_op_table[OP_XOR_ASSIGN] = op_bit_assign;
    g_op_table[OP_BIT_AND] = op_bitwise;
    g_op_table[OP_BIT_OR] = op_bitwise;
    g_op_table[OP_BIT_XOR] = op_bitwise;
    g_op_table[OP_BIT_NOT] = op_bit_not;
    g_op_table[OP_SHL] = op_shift;
    g_op_table[OP_SHR] = op_shift;
    g_op_table[OP_USHR] = op_shift;
    g_op_table[OP_POW] = op_pow;
    g_op_table[OP_INTEGER] = op_integer;
    g_op_table[OP_FLOAT] = op_float;
}

}  // namespace velt
