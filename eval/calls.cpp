// Calls of script functions, `new`, return, throw and try, the error-value
// makers, console output and the dispatch of method calls.
//
// A call pushes its parameters and locals on the local stack and a frame
// of kind 2 on the try stack, and runs the body. `return` leaves its value
// (held) in the pending-jump register; the call takes it, pops its locals
// and hands the value over with value_unhold. Exceptions are ScriptThrow
// and are caught only by try routines, which restore every piece of scope
// state they saved, so a call needs no handler of its own.
#include "eval/calls.h"

#include <cstring>

#include "db/protocol.h"
#include "driver/errors.h"
#include "driver/journal.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

BuiltinCall g_number_conversion = nullptr;
BuiltinCall g_string_conversion = nullptr;
BuiltinCall g_date_constructor = nullptr;
BuiltinCall g_regexp_constructor = nullptr;
DebugCallHooks g_debug_calls = {nullptr, nullptr, nullptr, nullptr};

namespace {

// Name of an argument slot pushed before its function's frame begins: it
// never equals a name word, so lookups pass over it.
constexpr ValueWord ARG_SLOT_NAME = 0x0FFFFFFFu;
// The most arguments a call can carry (the parser's limit is 255).
constexpr uint32_t MAX_ARGS = 256;
// The most script calls under way at once. Measured C stack per call level:
// 0.3 KB for a plain recursive call, 1.4 KB through a method call and
// 3.6 KB for a method call under ten nested statements (0.7, 2.1 and 4.8 KB
// in the sanitizer build). 1000 levels keep even the last case well inside
// the default 8 MB stack, and ordinary recursion far inside it.
constexpr int MAX_CALL_DEPTH = 1000;

inline bool is_jump_mark(ValueWord v) { return (v >> 28) == 4u; }

ValueWord make_empty_object() {
    ValueWord w;
    Cell* c = dw_alloc(TAG_OBJECT, &w, 0);
    void* mem;
    uint32_t addr = area_alloc(8 * 10, &mem);
    std::memset(mem, 0, 8 * 10);
    set_obj_count(c, 0);
    set_obj_cap(c, 10);
    obj_addr(c) = addr;
    obj_class(c) = 0;
    return w;
}

// A new Array holding value_copy copies of the values (each retained).
ValueWord make_array_of_copies(const ValueWord* vals, uint32_t n) {
    ValueWord w;
    Cell* c = dw_alloc(TAG_ARRAY, &w, 0);
    void* mem;
    uint32_t addr = area_alloc(4 * static_cast<size_t>(n) + 40, &mem);
    AreaWord* elems = static_cast<AreaWord*>(mem);
    arr_addr(c) = addr;
    arr_count(c) = 0;
    arr_cap(c) = n + 10;
    for (uint32_t i = 0; i < n; ++i) {
        elems[i] = value_retain(value_copy(vals[i]));
        arr_count(c) = i + 1;
    }
    return w;
}

// Runs function f whose np parameter values already stand at the slots
// base .. base+np-1 (named ARG_SLOT_NAME, each holding its value). Names
// the parameters (evaluating defaults), pushes the locals and `this`, runs
// the body under a call frame, pops everything down to base - 1, restores
// the scope and returns the result (a temporary or a held value).
// constructing: the result is `this` unless the body returns a value.
ValueWord enter_function(Cell* f, int base, ValueWord this_value, bool constructing, Cell* call_node) {
    if (g_scope.call_depth >= MAX_CALL_DEPTH) report_error(2385, "関数呼び出しのネストが深すぎます");
    if (g_debug_calls.enter) g_debug_calls.enter(f, call_node, base);
    uint32_t np = f->b2, nl = f->b3;
    const AreaWord* items = (np + nl) ? static_cast<const AreaWord*>(area_ptr(fn_names(f))) : nullptr;
    ScopeState saved = g_scope;
    ++g_scope.call_depth;
    g_scope.frame_base = base;
    g_scope.fn_params = np;
    g_scope.fn_locals = nl;
    // Parameters are locals from here on, visible to later defaults.
    g_scope.block_depth = saved.block_depth + 1;
    g_scope.block_base = base;
    for (uint32_t i = 0; i < np; ++i) {
        ValueWord item = items[i];
        if (word_tag(item) == TAG_NAME) {
            g_locals.slots[base + static_cast<int>(i)].name = item;
            continue;
        }
        // A default item: an assignment node (name = expression).
        Cell* a = dw_cell(item);
        g_locals.slots[base + static_cast<int>(i)].name = node_first(a);
        if (g_locals.slots[base + static_cast<int>(i)].value == W_UNDEFINED) {
            ValueWord v = value_retain(evaluate(node_second(a)));
            g_locals.slots[base + static_cast<int>(i)].value = v;
        }
    }
    locals_reserve(static_cast<int>(nl) + 1);
    for (uint32_t j = 0; j < nl; ++j) local_push(items[np + j], W_UNDEFINED);
    if (this_value != W_NONE_THIS) local_push(name_word(N_THIS), value_retain(this_value));
    if (g_debug_calls.bound) g_debug_calls.bound(f, base);

    int frame = push_frame(FRAME_CALL);
    value_release_temp(evaluate(fn_body(f)));
    ValueWord result = W_UNDEFINED;
    bool held = false;
    if (g_jump.target >= 0) {
        // Only a return reaches a call frame.
        ValueWord v = g_jump.value;
        g_jump.target = -1;
        if (!is_jump_mark(v)) {
            result = v;
            held = true;
        }
    }
    g_call_returned_value = held;
    try_pop_to(frame);
    if (g_debug_calls.leave) g_debug_calls.leave(result, held);
    if (constructing && !held) {
        result = value_retain(this_value);
        held = true;
    }
    locals_pop_to(base - 1);
    g_scope = saved;
    if (held) value_unhold(result);
    return result;
}

// Evaluates the arguments of a script call for its np parameters straight
// onto the local stack (argument slots); surplus arguments are never
// evaluated. Returns the base slot.
int push_call_arguments(Cell* f, const AreaWord* argw, uint32_t argc) {
    uint32_t np = f->b2;
    locals_reserve(static_cast<int>(np + f->b3) + 2);
    int base = g_locals.top + 1;
    for (uint32_t i = 0; i < np; ++i) {
        ValueWord v = i < argc ? value_retain(evaluate(argw[i])) : W_UNDEFINED;
        local_push(ARG_SLOT_NAME, v);
    }
    return base;
}

inline const AreaWord* argument_block(uint32_t addr, uint32_t* argc) {
    const AreaWord* a = static_cast<const AreaWord*>(area_ptr(addr & 0xFFFFFFu));
    *argc = a[0];
    return a + 1;
}

// Evaluated arguments of a built-in: held in a local array and released as
// temporaries when the call is done (also when it fails).
struct ArgValues {
    ValueWord v[MAX_ARGS];
    uint32_t n = 0;
};

// Each argument is held while the later ones are evaluated and while the
// routine runs: a later argument may assign or increment the variable an
// earlier one came from (`f(x, x = 2)`, `f(x, ++x)`).
void evaluate_arguments(const AreaWord* argw, uint32_t argc, ArgValues& out) {
    if (argc > MAX_ARGS) argc = MAX_ARGS;
    out.n = 0;
    try {
        for (uint32_t i = 0; i < argc; ++i) {
            out.v[i] = value_retain(evaluate(argw[i]));
            out.n = i + 1;
        }
    } catch (const ScriptThrow&) {
        for (uint32_t i = 0; i < out.n; ++i) value_release(out.v[i]);
        throw;
    }
}

void release_arguments(ArgValues& a) {
    for (uint32_t i = 0; i < a.n; ++i) value_release(a.v[i]);
    a.n = 0;
}

// Hands over a routine's result after its inputs are released: the result
// may be one of them, so it is held meanwhile.
ValueWord finish_builtin(ValueWord result, ArgValues& a, ValueWord receiver) {
    value_retain(result);
    release_arguments(a);
    if (receiver != result) value_release_temp(receiver);
    value_unhold(result);
    return result;
}

ValueWord call_builtin(BuiltinCall fn, int code, const char* feature, ArgValues& a) {
    if (!fn) not_available(code, feature);
    return fn(a.v, static_cast<int>(a.n));
}

bool name_is(uint32_t index, const char* text) {
    size_t n = std::strlen(text);
    return name_length(index) == n && std::memcmp(name_text(index), text, n) == 0;
}

// Property `name` of an Object whose value is a function, or 0.
ValueWord object_function(ValueWord obj, uint32_t name) {
    Cell* c = dw_cell(obj);
    uint32_t n = obj_count(c);
    if (n == 0) return 0;
    const AreaWord* pairs = static_cast<const AreaWord*>(area_ptr(obj_addr(c)));
    for (uint32_t i = 0; i < n; ++i) {
        if (word_tag(pairs[2 * i]) == TAG_NAME && (pairs[2 * i] & VAR_NAME_MASK) == name) {
            ValueWord v = pairs[2 * i + 1];
            return word_tag(v) == TAG_FUNCTION ? v : 0;
        }
    }
    return 0;
}

// toString of a name, number or error value: its plain form as a new
// string, made straight from its parts.
ValueWord plain_text_string(ValueWord v) {
    switch (word_tag(v)) {
        case TAG_NAME: return make_string(name_text(v & 0xFFFFFFu), name_length(v & 0xFFFFFFu));
        case TAG_INT: {
            char num[16];
            return make_string(num, format_int(num, cell_int(dw_cell(v))));
        }
        case TAG_FLOAT: {
            char num[400];
            return make_string(num, format_float(num, cell_float(dw_cell(v))));
        }
        default: {
            // "code:message"
            char head[32];
            const char* code = error_code_text(v);
            size_t lc = std::strlen(code);
            if (lc > sizeof head - 2) lc = sizeof head - 2;
            std::memcpy(head, code, lc);
            head[lc] = ':';
            size_t lm = 0;
            const char* msg = error_message_text(v, &lm);
            return make_string_pair(head, lc + 1, msg, lm);
        }
    }
}

ValueWord dispatch_method(Cell* member, const AreaWord* argw, uint32_t argc) {
    ValueWord recv_expr = node_first(member);
    uint32_t method = node_second(member) & 0xFFFFFFu;
    ArgValues a;
    evaluate_arguments(argw, argc, a);
    int n = static_cast<int>(a.n);
    ValueWord result = W_UNDEFINED;
    ValueWord recv = W_UNDEFINED;
    try {
        bool done = false;
        if (word_tag(recv_expr) == TAG_NAME) {
            done = true;
            switch (recv_expr & 0xFFFFFFu) {
                case N_MATH: result = method_call(g_math_methods, method, W_UNDEFINED, a.v, n); break;
                case N_OBJECT: result = method_call(g_object_static_methods, method, W_UNDEFINED, a.v, n); break;
                case N_NUMBER: result = method_call(g_number_static_methods, method, W_UNDEFINED, a.v, n); break;
                case N_DATE: result = method_call(g_date_static_methods, method, W_UNDEFINED, a.v, n); break;
                case N_STRING: result = method_call(g_string_static_methods, method, W_UNDEFINED, a.v, n); break;
                case N_CONSOLE:
                    if (name_is(method, "log")) {
                        console_write(false, a.v, n);
                    } else if (name_is(method, "error")) {
                        console_write(true, a.v, n);
                    } else {
                        report_error(2140, "メソッド名不正");
                    }
                    break;
                default: done = false;
            }
        }
        if (!done) {
            recv = evaluate(recv_expr);
            switch (word_tag(recv)) {
                case TAG_NAME:
                case TAG_INT:
                case TAG_ERROR:
                case TAG_FLOAT: {
                    if (!name_is(method, "toString")) report_error(2145, "メソッド名不正");
                    result = plain_text_string(recv);
                    break;
                }
                case TAG_STRING: result = method_call(g_string_methods, method, recv, a.v, n); break;
                case TAG_DATE: result = method_call(g_date_methods, method, recv, a.v, n); break;
                case TAG_REGEXP: result = method_call(g_regexp_methods, method, recv, a.v, n); break;
                case TAG_ARRAY: result = method_call(g_array_methods, method, recv, a.v, n); break;
                case TAG_SPARSE: result = method_call(g_sparse_methods, method, recv, a.v, n); break;
                case TAG_OBJECT: {
                    ValueWord fn = object_function(recv, method);
                    if (fn) {
                        // `this` is pushed and popped as a local: the hold
                        // taken here keeps a temporary receiver alive
                        // until the call's result is held.
                        value_retain(recv);
                        try {
                            result = call_function(fn, recv, a.v, n);
                        } catch (const ScriptThrow&) {
                            value_unhold(recv);
                            throw;
                        }
                        value_unhold(recv);
                    } else {
                        result = method_call(g_hash_methods, method, recv, a.v, n);
                    }
                    break;
                }
                default: clear_location(); break;
            }
        }
    } catch (const ScriptThrow&) {
        release_arguments(a);
        value_release_temp(recv);
        throw;
    }
    return finish_builtin(result, a, recv);
}

// Number(...), String(...) and Date(...) written as plain calls. Kept out
// of op_call so that the argument array is not on the stack of every call.
[[gnu::noinline]] ValueWord call_named_builtin(uint32_t idx, const AreaWord* argw, uint32_t argc) {
    if (argc == 0 && idx == N_NUMBER) return make_int(0);
    if (argc == 0 && idx == N_STRING) return make_string("", 0);
    ArgValues a;
    evaluate_arguments(argw, argc, a);
    ValueWord r;
    try {
        if (idx == N_NUMBER) {
            r = call_builtin(g_number_conversion, 2335, "Number", a);
        } else if (idx == N_STRING) {
            r = call_builtin(g_string_conversion, 2335, "String", a);
        } else {
            r = call_builtin(g_date_constructor, 5500, "Date", a);
        }
    } catch (const ScriptThrow&) {
        release_arguments(a);
        throw;
    }
    return finish_builtin(r, a, W_UNDEFINED);
}

// Finds where a jump passed on by a try goes, searching below the try's
// frame (the try stack is already popped to it). False when nothing can
// receive it.
bool pass_jump_on(ValueWord v) {
    for (int i = g_try.count - 1; i >= 1; --i) {
        uint8_t k = g_try.frames[i].kind;
        bool takes;
        if (v == JUMP_BREAK) {
            if (k == FRAME_CALL) return false;
            takes = k == FRAME_LOOP || k == FRAME_TRY || k == FRAME_SWITCH;
        } else if (v == JUMP_CONTINUE) {
            if (k == FRAME_CALL) return false;
            takes = k == FRAME_LOOP || k == FRAME_TRY;
        } else {
            takes = k == FRAME_CALL || k == FRAME_TRY;
        }
        if (takes) {
            g_jump = {i, v};
            return true;
        }
    }
    return false;
}

// Drops a jump value that will not be delivered (a held return value).
inline void drop_jump_value(ValueWord v) {
    if (!is_jump_mark(v)) value_release(v);
}

}  // namespace

// ---- Script calls ----

bool g_call_returned_value = false;

ValueWord call_function(ValueWord fn, ValueWord this_value, const AreaWord* args, int argc) {
    if (word_tag(fn) != TAG_FUNCTION) report_error(2150, "関数不正");
    Cell* f = dw_cell(fn);
    uint32_t np = f->b2;
    locals_reserve(static_cast<int>(np + f->b3) + 2);
    int base = g_locals.top + 1;
    for (uint32_t i = 0; i < np; ++i) {
        ValueWord v = static_cast<int>(i) < argc ? value_retain(args[i]) : W_UNDEFINED;
        local_push(ARG_SLOT_NAME, v);
    }
    return enter_function(f, base, this_value, false, nullptr);
}

ValueWord op_call(Cell* node) {
    ValueWord callee = node_first(node);
    uint32_t argc;
    const AreaWord* argw = argument_block(node_second(node), &argc);
    if (word_tag(callee) == TAG_NODE && node_op(dw_cell(callee)) == 145) {
        return dispatch_method(dw_cell(callee), argw, argc);
    }
    if (word_tag(callee) == TAG_NAME) {
        uint32_t idx = callee & 0xFFFFFFu;
        if (idx == N_NUMBER || idx == N_STRING || idx == N_DATE) return call_named_builtin(idx, argw, argc);
    }
    ValueWord fnv = evaluate(callee);
    if (word_tag(fnv) != TAG_FUNCTION) {
        uint32_t tag = word_tag(fnv);
        value_release_temp(fnv);
        if (word_tag(callee) == TAG_NAME) {
            report_error(2155, "関数不正(%s), %d", name_text(callee & 0xFFFFFFu), static_cast<int>(tag));
        }
        report_error(2150, "関数不正");
    }
    Cell* f = dw_cell(fnv);
    int base = push_call_arguments(f, argw, argc);
    return enter_function(f, base, W_NONE_THIS, false, node);
}

ValueWord op_new(Cell* node) {
    ValueWord cls = node_first(node);
    if (word_tag(cls) != TAG_NAME) report_error(2365, "newステートメント不正");
    uint32_t idx = cls & 0xFFFFFFu;
    uint32_t argc;
    const AreaWord* argw = argument_block(node_second(node), &argc);
    switch (idx) {
        case N_NUMBER:
        case N_INTEGER:
        case N_FLOAT:
        case N_DATE:
        case N_ERROR:
        case N_EXCEPTION:
        case N_REGEXP:
        case N_STRING:
        case N_ARRAY: {
            ArgValues a;
            evaluate_arguments(argw, argc, a);
            int n = static_cast<int>(a.n);
            ValueWord r = W_UNDEFINED;
            try {
                switch (idx) {
                    case N_NUMBER: r = n == 0 ? make_int(0) : call_builtin(g_number_conversion, 2335, "Number", a); break;
                    case N_INTEGER: r = convert_integer(a.v, n); break;
                    case N_FLOAT: r = convert_float(a.v, n); break;
                    case N_DATE: r = call_builtin(g_date_constructor, 5500, "Date", a); break;
                    case N_ERROR:
                    case N_EXCEPTION: r = make_script_error(a.v, n); break;
                    case N_REGEXP: r = call_builtin(g_regexp_constructor, 4600, "RegExp", a); break;
                    case N_STRING:
                        r = n == 0 ? make_string("", 0) : call_builtin(g_string_conversion, 2335, "String", a);
                        break;
                    default: r = make_array_of_copies(a.v, a.n); break;
                }
            } catch (const ScriptThrow&) {
                release_arguments(a);
                throw;
            }
            return finish_builtin(r, a, W_UNDEFINED);
        }
        default: break;
    }
    ValueWord fnv = evaluate(cls);
    if (word_tag(fnv) != TAG_FUNCTION) {
        value_release_temp(fnv);
        report_error(2370, "newステートメント不正");
    }
    Cell* f = dw_cell(fnv);
    int base = push_call_arguments(f, argw, argc);
    ValueWord self = make_empty_object();
    ValueWord result = enter_function(f, base, self, true, node);
    if (word_tag(result) == TAG_OBJECT) obj_class(dw_cell(result)) = idx;
    return result;
}

ValueWord op_return(Cell* node) {
    ValueWord v = node_operand_count(node) ? evaluate(node_first(node)) : JUMP_RETURN_EMPTY;
    jump_return(v);
    return W_UNDEFINED;
}

ValueWord op_throw(Cell* node) {
    ValueWord v = evaluate(node_first(node));
    int target = try_find(1u << FRAME_TRY);
    if (target < 0) {
        value_release_temp(v);
        report_error(2065, "ステートメント不正(throw)");
    }
    value_retain(v);
    g_error_caught = true;
    throw ScriptThrow{v, target, true};
}

// try: the try block runs under a frame of kind 3. An exception aimed at
// that frame is caught (when there is a catch part) with the catch block
// running under the same frame, so that an exception, return, break or
// continue from the catch block still runs the finally block. A jump or an
// uncaught exception is passed on after the finally block: jumps to the
// next frame that takes them, exceptions to the next frame of kind 3.
ValueWord op_try(Cell* node) {
    uint32_t n = node_operand_count(node);
    const AreaWord* ops = node_operand_words(node);
    ValueWord try_block = ops[0];
    uint32_t catch_addr = ops[1] & 0xFFFFFFu;
    ValueWord finally_block = n >= 3 ? ops[2] : 0;

    int base_top = g_locals.top;
    ScopeState saved = g_scope;
    int frame = push_frame(FRAME_TRY);

    bool have_exc = false;
    ValueWord exc = 0;
    bool have_jump = false;
    ValueWord jump = 0;

    auto take_exception = [&](const ScriptThrow& t) {
        g_jump.target = -1;
        locals_pop_to(base_top);
        g_scope = saved;
        g_try.count = frame + 1;
        if (have_exc) value_release(exc);
        exc = t.value;
        if (!t.held) value_retain(exc);
        have_exc = true;
    };
    auto take_jump = [&]() {
        if (g_jump.target == frame) {
            jump = g_jump.value;
            have_jump = true;
            g_jump.target = -1;
        }
    };

    try {
        value_release_temp(evaluate(try_block));
        locals_pop_to(base_top);
        take_jump();
    } catch (const ScriptThrow& t) {
        if (t.target_frame != frame) throw;
        take_exception(t);
    }

    if (have_exc && catch_addr) {
        g_error_caught = false;
        const AreaWord* rec = static_cast<const AreaWord*>(area_ptr(catch_addr));
        ValueWord caught = exc;
        have_exc = false;
        try {
            local_push(rec[0] & VAR_NAME_MASK, value_retain(caught));
            ++g_scope.block_depth;
            value_release_temp(evaluate(rec[1]));
            --g_scope.block_depth;
            locals_pop_to(base_top);
            take_jump();
        } catch (const ScriptThrow& t) {
            if (t.target_frame != frame) {
                value_release(caught);
                throw;
            }
            take_exception(t);
        }
        value_release(caught);
    }

    try_pop_to(frame);
    if (finally_block) {
        try {
            value_release_temp(evaluate(finally_block));
        } catch (const ScriptThrow&) {
            if (have_exc) value_release(exc);
            if (have_jump) drop_jump_value(jump);
            throw;
        }
        if (jump_pending()) {
            // The finally block's own jump replaces what was passing.
            if (have_exc) {
                value_release(exc);
                g_error_caught = false;
            }
            if (have_jump) drop_jump_value(jump);
            return W_UNDEFINED;
        }
    }
    if (have_exc) {
        int target = try_find(1u << FRAME_TRY);
        if (target < 0) target = 0;
        g_error_caught = true;
        throw ScriptThrow{exc, target, true};
    }
    if (have_jump && !pass_jump_on(jump)) {
        drop_jump_value(jump);
        report_error(2060, "ステートメント不正(try ... catch)");
    }
    return W_UNDEFINED;
}

// ---- Error values ----

ValueWord make_script_error(const ValueWord* args, int argc) {
    if (argc < 1 || word_tag(args[0]) != TAG_STRING) report_error(2360, "例外ステートメント不正");
    char code[24] = {0};
    uint8_t source = 9;
    if (argc >= 2) {
        ValueWord c = args[1];
        if (word_tag(c) == TAG_STRING) {
            uint32_t len = string_length(c);
            if (len > 19) len = 19;
            std::memcpy(code, string_text(c), len);
            code[len] = '\0';
            source = 1;
        } else if (word_tag(c) == TAG_INT) {
            format_int(code, cell_int(dw_cell(c)));
            source = 0;
        } else {
            report_error(2360, "例外ステートメント不正");
        }
    }
    ValueWord e = make_error_value(code, string_text(args[0]), string_length(args[0]));
    word_memory(e)[1] = source;
    return e;
}

static ValueWord error_maker(Cell* node) {
    uint32_t n = node_operand_count(node);
    ArgValues a;
    evaluate_arguments(node_operand_words(node), n, a);
    ValueWord r;
    try {
        r = make_script_error(a.v, static_cast<int>(a.n));
    } catch (const ScriptThrow&) {
        release_arguments(a);
        throw;
    }
    release_arguments(a);
    return r;
}

ValueWord op_error(Cell* node) { return error_maker(node); }
ValueWord op_exception(Cell* node) { return error_maker(node); }

// ---- Console ----

// The text of one console line. It keeps its memory from line to line, so
// console output takes heap memory only when a line is longer than every
// line before it.
static TextBuf g_console_text;

void console_write(bool is_error, const ValueWord* args, int argc) {
    TextBuf& t = g_console_text;
    t.len = 0;
    for (int i = 0; i < argc; ++i) value_display(args[i], true, t);
    if (t.len == 0) return;
    if (g_debug_calls.console) g_debug_calls.console(is_error, t.data, t.len);
    const char* prefix = is_error ? "(E) " : "(L) ";
    if (g_run.mode == RunMode::Script) {
        out_write(prefix, 4);
        out_write(t.data, t.len);
        out_write("\n", 1);
        out_flush();
    }
    journal_append(prefix, 4);
    journal_append(t.data, t.len);
    journal_append("\n", 1);
}

// ---- Driver entry points ----

void evaluate_top_call(ValueWord call_node) {
    g_jump.target = -1;
    value_release_temp(evaluate(call_node));
}

void register_flow_routines() {
    g_op_table[141] = op_var;
    g_op_table[142] = op_let;
    g_op_table[143] = op_const;
    g_op_table[147] = op_if;
    g_op_table[148] = op_while;
    g_op_table[149] = op_do;
    g_op_table[150] = op_for;
    g_op_table[151] = op_for_of;
    g_op_table[152] = op_for_in;
    g_op_table[153] = op_try;
    g_op_table[154] = op_throw;
    g_op_table[155] = op_block;
    g_op_table[156] = op_break;
    g_op_table[157] = op_continue;
    g_op_table[158] = op_return;
    g_op_table[160] = op_call;
    g_op_table[170] = op_switch;
    g_op_table[183] = op_new;
    g_op_table[184] = op_exception;
    g_op_table[188] = op_error;
}

}  // namespace velt
