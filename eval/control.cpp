// Declarations, blocks and control flow: var, let, const, if, the loops,
// switch, break and continue.
//
// Loops and switches push a frame on the try stack; break and continue
// find their target frame there, put the jump into the pending-jump
// register and return. Every routine that runs statements checks the
// register after each one and unwinds by returning; the routine that owns
// the target frame takes the jump.
#include <cstring>

#include "driver/errors.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/expr.h"
#include "parser/statements.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

// Statements of blocks and loops and for-loop updates: their value is unused.
inline void run_and_release(ValueWord stmt) { release_temp(evaluate_discarded(stmt)); }

// The name and initial-value expression of a declaration item: a bare name,
// or an assignment node (123) whose first operand is a name. False for any
// other item.
bool declaration_item(ValueWord item, ValueWord* name, ValueWord* init) {
    if (word_tag(item) == TAG_NAME) {
        *name = item;
        *init = 0;
        return true;
    }
    if (word_tag(item) == TAG_NODE) {
        Cell* c = dw_cell(item);
        if (node_op(c) == 123 && word_tag(node_first(c)) == TAG_NAME) {
            *name = node_first(c);
            *init = node_second(c);
            return true;
        }
    }
    return false;
}

// Strict equality of two values (switch cases): integers and floats by
// value within their own kind, strings by bytes, anything else by word.
bool strict_equal(ValueWord a, ValueWord b) {
    uint32_t ta = word_tag(a), tb = word_tag(b);
    if (ta != tb) return false;
    if (ta == TAG_INT) return cell_int(dw_cell(a)) == cell_int(dw_cell(b));
    if (ta == TAG_FLOAT) return cell_float(dw_cell(a)) == cell_float(dw_cell(b));
    if (ta == TAG_STRING) {
        uint32_t la = string_length(a);
        return la == string_length(b) && std::memcmp(string_text(a), string_text(b), la) == 0;
    }
    return a == b;
}

// Takes a pending jump aimed at `frame` (a loop): returns 0 when no jump is
// pending, 1 for continue (cleared), 2 for break (cleared) and 3 when the
// jump is aimed lower down (left pending).
inline int loop_jump(int frame) {
    if (!jump_pending()) return 0;
    if (g_jump.target != frame) return 3;
    ValueWord v = g_jump.value;
    g_jump.target = -1;
    return v == JUMP_CONTINUE ? 1 : 2;
}

// The words of a for statement's expression array: an area address of a
// word array (or, defensively, an Array value).
const AreaWord* expression_array(ValueWord w) {
    if (word_tag(w) == TAG_ARRAY) return static_cast<const AreaWord*>(area_ptr(arr_addr(dw_cell(w))));
    return static_cast<const AreaWord*>(area_ptr(w & 0xFFFFFFu));
}

}  // namespace

void run_statements(const AreaWord* items, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        run_and_release(items[i]);
        if (jump_pending()) return;
    }
}

// ---- Declarations ----

ValueWord op_var(Cell* node) {
    uint32_t n = node_operand_count(node);
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord item = node_operand_words(node)[i];
        ValueWord name, init;
        if (!declaration_item(item, &name, &init)) report_error(2040, "変数名不正");
        ValueWord v = init ? value_retain(evaluate(init)) : W_UNDEFINED;
        if (g_scope.frame_base <= 0) {
            global_store(name, v);
            continue;
        }
        ValueWord key = name & VAR_NAME_MASK;
        int hit = 0;
        for (int k = g_scope.frame_base; k <= g_locals.top; ++k) {
            if ((g_locals.slots[k].name & VAR_NAME_MASK) == key) {
                hit = k;
                break;
            }
        }
        if (hit) {
            // `var p;` naming a parameter leaves the argument as it is.
            if (!init && hit < g_scope.frame_base + static_cast<int>(g_scope.fn_params)) continue;
            ValueWord old = g_locals.slots[hit].value;
            g_locals.slots[hit].value = v;
            value_release(old);
        } else {
            local_push(name, v);
        }
    }
    return W_UNDEFINED;
}

static ValueWord declare_block_locals(Cell* node, ValueWord flag) {
    if (g_scope.block_depth <= 0) report_error(2045, "ステートメント不正(let/const)");
    uint32_t n = node_operand_count(node);
    locals_reserve(static_cast<int>(n));
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord item = node_operand_words(node)[i];
        ValueWord name, init;
        if (!declaration_item(item, &name, &init)) report_error(2040, "変数名不正");
        if ((name & VAR_NAME_MASK) <= N_NULL) {
            if (init) report_error(2048, "変数名不正(let/const)");
            report_error(2047, "変数名不正(let/const)");
        }
        ValueWord v = init ? value_retain(evaluate(init)) : W_UNDEFINED;
        ValueWord stored = (name & VAR_NAME_MASK) | flag;
        int hit = 0;
        if (g_locals.top >= g_scope.block_base) {
            ValueWord key = name & VAR_NAME_MASK;
            int low = g_scope.block_base > 1 ? g_scope.block_base : 1;
            for (int k = low; k <= g_locals.top; ++k) {
                if ((g_locals.slots[k].name & VAR_NAME_MASK) == key) {
                    hit = k;
                    break;
                }
            }
        }
        if (hit) {
            // A second declaration in the same block replaces the first in
            // place; the old value is given up.
            ValueWord old = g_locals.slots[hit].value;
            g_locals.slots[hit] = {stored, v};
            value_release(old);
        } else {
            local_push(stored, v);
        }
    }
    return W_UNDEFINED;
}

ValueWord op_let(Cell* node) { return declare_block_locals(node, 0); }
ValueWord op_const(Cell* node) { return declare_block_locals(node, VAR_CONST); }

// ---- Blocks and branches ----

ValueWord op_block(Cell* node) {
    uint32_t n = node_operand_count(node);
    const AreaWord* items = node_operand_words(node);
    int saved_top = g_locals.top;
    int saved_base = g_scope.block_base;
    ++g_scope.block_depth;
    g_scope.block_base = saved_top + 1;
    for (uint32_t i = 0; i < n; ++i) {
        run_and_release(items[i]);
        if (jump_pending()) break;
    }
    locals_pop_to(saved_top);
    --g_scope.block_depth;
    g_scope.block_base = saved_base;
    return W_UNDEFINED;
}

ValueWord op_if(Cell* node) {
    const AreaWord* ops = node_operand_words(node);
    ValueWord c = evaluate(ops[0]);
    bool t = truthiness(c);
    value_release_temp(c);
    if (t) return evaluate(ops[1]);
    if (node_operand_count(node) >= 3) return evaluate(ops[2]);
    return W_UNDEFINED;
}

// ---- Loops ----

static inline bool test_condition(ValueWord cond) {
    ValueWord c = evaluate(cond);
    bool t = truthiness(c);
    value_release_temp(c);
    return t;
}

ValueWord op_while(Cell* node) {
    ValueWord cond = node_first(node), body = node_second(node);
    int saved_top = g_locals.top;
    int frame = push_frame(FRAME_LOOP);
    while (test_condition(cond)) {
        run_and_release(body);
        int j = loop_jump(frame);
        if (j >= 2) break;
    }
    locals_pop_to(saved_top);
    try_pop_to(frame);
    return W_UNDEFINED;
}

ValueWord op_do(Cell* node) {
    ValueWord body = node_first(node), cond = node_second(node);
    int saved_top = g_locals.top;
    int frame = push_frame(FRAME_LOOP);
    do {
        run_and_release(body);
        int j = loop_jump(frame);
        if (j >= 2) break;
    } while (test_condition(cond));
    locals_pop_to(saved_top);
    try_pop_to(frame);
    return W_UNDEFINED;
}

ValueWord op_for(Cell* node) {
    const AreaWord* ops = node_operand_words(node);
    const AreaWord* exprs = expression_array(ops[0]);
    uint32_t counts = ops[1];
    ValueWord body = ops[2];
    uint32_t n_init = counts >> 16, n_update = counts & 0xFFFFu;
    int saved_top = g_locals.top;
    int saved_base = g_scope.block_base;
    // The statement is a scope of its own, so a `let` in its head never
    // replaces a variable of the enclosing block.
    ++g_scope.block_depth;
    g_scope.block_base = saved_top + 1;
    int frame = push_frame(FRAME_LOOP);
    for (uint32_t i = 0; i < n_init; ++i) run_and_release(exprs[i]);
    ValueWord cond = exprs[n_init];
    const AreaWord* updates = exprs + n_init + 1;
    while (test_condition(cond)) {
        run_and_release(body);
        int j = loop_jump(frame);
        if (j >= 2) break;
        for (uint32_t i = 0; i < n_update; ++i) run_and_release(updates[i]);
    }
    locals_pop_to(saved_top);
    try_pop_to(frame);
    --g_scope.block_depth;
    g_scope.block_base = saved_base;
    return W_UNDEFINED;
}

namespace {

// Where the loop variable of for-of / for-in lives.
struct LoopVar {
    bool global;
    int index;
};

LoopVar find_loop_var(Cell* node, ValueWord name, uint32_t kind, int code, const char* message) {
    if (kind == FOR_DECL_VAR) {
        ValueWord key = name & VAR_NAME_MASK;
        if (g_scope.frame_base <= 0) {
            for (uint32_t i = 0; i < g_globals.count; ++i) {
                if ((g_globals.slots[i].name & VAR_NAME_MASK) == key) return {true, static_cast<int>(i)};
            }
            // A top-level `for (var x ...)` declares x like any `var`.
            return {true, global_append(name & VAR_NAME_MASK, W_UNDEFINED)};
        }
        // A `var` naming a parameter is that parameter.
        int first = g_scope.frame_base;
        int last = first + static_cast<int>(g_scope.fn_params + g_scope.fn_locals) - 1;
        if (last > g_locals.top) last = g_locals.top;
        for (int i = first; i <= last; ++i) {
            if ((g_locals.slots[i].name & VAR_NAME_MASK) == key) return {false, i};
        }
        report_error(code, "%s", message);
    }
    ValueWord flag = node->b2 != 0 ? VAR_CONST : 0;
    local_push((name & VAR_NAME_MASK) | flag, W_UNDEFINED);
    return {false, g_locals.top};
}

inline void store_loop_var(const LoopVar& lv, ValueWord v) {
    value_retain(v);
    ValueWord* slot = lv.global ? &g_globals.slots[lv.index].value : &g_locals.slots[lv.index].value;
    ValueWord old = *slot;
    *slot = v;
    value_release(old);
}

// The item of step i (made new where the item is not an element), or
// false when the iterable has shrunk below i.
bool iteration_item(ValueWord e, uint32_t i, bool of, ValueWord* out) {
    uint32_t tag = word_tag(e);
    Cell* c = dw_cell(e);
    if (tag == TAG_ARRAY) {
        if (i >= arr_count(c)) return false;
        *out = of ? static_cast<const AreaWord*>(area_ptr(arr_addr(c)))[i] : make_int(static_cast<int32_t>(i));
        return true;
    }
    if (tag == TAG_SPARSE) {
        if (i >= arr_count(c)) return false;
        const AreaWord* pair = static_cast<const AreaWord*>(area_ptr(arr_addr(c))) + 2 * i;
        if (of) {
            *out = pair[1];
        } else if (word_tag(pair[0]) == TAG_NAME) {
            *out = make_string(name_text(pair[0] & 0xFFFFFFu), name_length(pair[0] & 0xFFFFFFu));
        } else {
            *out = make_int(static_cast<int32_t>(pair[0] & 0xFFFFFFu));
        }
        return true;
    }
    if (tag == TAG_STRING) {
        if (i >= str_len(c)) return false;
        *out = make_string(string_text(e) + i, 1);
        return true;
    }
    // Object keys (for-in).
    if (i >= obj_count(c)) return false;
    ValueWord key = static_cast<const AreaWord*>(area_ptr(obj_addr(c)))[2 * i];
    if (word_tag(key) == TAG_NAME) {
        *out = make_string(name_text(key & 0xFFFFFFu), name_length(key & 0xFFFFFFu));
    } else {
        char num[16];
        size_t len = format_int(num, static_cast<int32_t>(key & 0xFFFFFFu));
        *out = make_string(num, len);
    }
    return true;
}

ValueWord run_for_each(Cell* node, bool of) {
    const AreaWord* ops = node_operand_words(node);
    ValueWord name = ops[0], iterable = ops[1], body = ops[2];
    uint32_t kind = ops[3];
    int saved_top = g_locals.top;
    int saved_base = g_scope.block_base;
    ++g_scope.block_depth;
    g_scope.block_base = saved_top + 1;
    LoopVar lv = of ? find_loop_var(node, name, kind, 2050, "ステートメント不正(for ... of)")
                    : find_loop_var(node, name, kind, 2056, "ステートメント不正(for ... in)");
    ValueWord e = evaluate(iterable);
    uint32_t tag = word_tag(e);
    uint32_t count = 0;
    if (of && (tag == TAG_ARRAY || tag == TAG_SPARSE)) {
        count = arr_count(dw_cell(e));
    } else if (of && tag == TAG_STRING) {
        count = str_len(dw_cell(e));
    } else if (!of && (tag == TAG_ARRAY || tag == TAG_SPARSE)) {
        count = arr_count(dw_cell(e));
    } else if (!of && tag == TAG_OBJECT) {
        count = obj_count(dw_cell(e));
    } else {
        value_release_temp(e);
        if (of) report_error(2055, "ステートメント不正(for .. of)");
        report_error(2057, "ステートメント不正(for .. in)");
    }
    value_retain(e);
    int frame = push_frame(FRAME_LOOP);
    try {
        for (uint32_t i = 0; i < count; ++i) {
            ValueWord item;
            if (!iteration_item(e, i, of, &item)) break;
            store_loop_var(lv, item);
            run_and_release(body);
            int j = loop_jump(frame);
            if (j >= 2) break;
        }
    } catch (const ScriptThrow&) {
        value_release(e);
        throw;
    }
    value_release(e);
    locals_pop_to(saved_top);
    try_pop_to(frame);
    --g_scope.block_depth;
    g_scope.block_base = saved_base;
    return W_UNDEFINED;
}

}  // namespace

ValueWord op_for_of(Cell* node) { return run_for_each(node, true); }
ValueWord op_for_in(Cell* node) { return run_for_each(node, false); }

// ---- switch ----

ValueWord op_switch(Cell* node) {
    // The record: discriminant, case table, statement array, default flag.
    const AreaWord* rec = static_cast<const AreaWord*>(area_ptr(node->d4 & 0xFFFFFFu));
    const AreaWord* table = static_cast<const AreaWord*>(area_ptr(rec[1] & 0xFFFFFFu));
    const AreaWord* stmts = static_cast<const AreaWord*>(area_ptr(rec[2] & 0xFFFFFFu));
    uint32_t entries = table[0], n_stmts = table[1];
    int saved_top = g_locals.top;
    int frame = push_frame(FRAME_SWITCH);
    ValueWord d = evaluate(rec[0]);
    try {
        long start = -1;
        for (uint32_t k = 2; k < entries; ++k) {
            ValueWord cv = evaluate(table[2 * k]);
            bool eq = strict_equal(cv, d);
            if (cv != d) value_release_temp(cv);
            if (eq) {
                start = table[2 * k + 1];
                break;
            }
        }
        if (start < 0 && rec[3]) start = table[3];
        if (start >= 0) {
            for (uint32_t i = static_cast<uint32_t>(start); i < n_stmts; ++i) {
                run_and_release(stmts[i]);
                if (jump_pending()) {
                    if (g_jump.target == frame) g_jump.target = -1;  // break
                    break;
                }
            }
        }
    } catch (const ScriptThrow&) {
        value_release_temp(d);
        throw;
    }
    value_release_temp(d);
    locals_pop_to(saved_top);
    try_pop_to(frame);
    return W_UNDEFINED;
}

// ---- Jumps ----
//
// A jump goes to the nearest frame of its kinds. break and continue stay
// inside their own function: the frames are searched from the top down to
// the nearest call frame (or the driver's frame 0), and a break without a
// loop or switch there (a continue without a loop) is an error, even when a
// try lies in between; the try would only pass the jump on.

void jump_break() {
    int target = -1;
    for (int i = g_try.count - 1; i >= 1; --i) {
        uint8_t k = g_try.frames[i].kind;
        if (k == FRAME_CALL) break;
        if (target < 0) target = i;  // nearest loop, try or switch
        if (k == FRAME_LOOP || k == FRAME_SWITCH) {
            g_jump = {target, JUMP_BREAK};
            return;
        }
    }
    report_error(2070, "ステートメント不正(break)");
}

void jump_continue() {
    int target = -1;
    for (int i = g_try.count - 1; i >= 1; --i) {
        uint8_t k = g_try.frames[i].kind;
        if (k == FRAME_CALL) break;
        if (k == FRAME_SWITCH) continue;
        if (target < 0) target = i;  // nearest loop or try
        if (k == FRAME_LOOP) {
            g_jump = {target, JUMP_CONTINUE};
            return;
        }
    }
    report_error(2075, "ステートメント不正(continue)");
}

void jump_return(ValueWord value) {
    int target = -1;
    for (int i = g_try.count - 1; i >= 1; --i) {
        uint8_t k = g_try.frames[i].kind;
        if (target < 0 && (k == FRAME_TRY || k == FRAME_CALL)) target = i;
        if (k == FRAME_CALL) {
            // The value stays held while the call's locals are popped.
            if (value != JUMP_RETURN_EMPTY) value_retain(value);
            g_jump = {target, value};
            return;
        }
    }
    if (value != JUMP_RETURN_EMPTY) value_release_temp(value);
    report_error(2080, "return文不正");
}

ValueWord op_break(Cell*) {
    jump_break();
    return W_UNDEFINED;
}

ValueWord op_continue(Cell*) {
    jump_continue();
    return W_UNDEFINED;
}

}  // namespace velt
