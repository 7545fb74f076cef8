// Calls of script functions, `new`, return, throw, try, the error-value
// makers, console output and the method dispatch of built-in receivers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/word.h"

namespace velt {

// ---- Script calls ----

// Calls the script function `fn` (a Function word) with already evaluated
// arguments. Arguments beyond the parameter count are ignored; missing ones
// are undefined (default items evaluate their default). `this_value` is
// pushed as the local `this` after the locals when it is not W_NONE_THIS.
// The result is handed over as a temporary-or-held value exactly like a
// call node's result (release it with value_release_temp when done). The
// arguments stay owned by the caller. Exceptions pass through as
// ScriptThrow. Used by built-ins (Array sort, Hash forEach, Hash methods).
constexpr ValueWord W_NONE_THIS = 0xFFFFFFFFu;
ValueWord call_function(ValueWord fn, ValueWord this_value, const AreaWord* args, int argc);
// Whether the script call that finished last ended with a `return` of a
// value (also `return undefined`), rather than a bare `return` or the end
// of its body. Array sort reads it after each comparison call.
extern bool g_call_returned_value;

// ---- Built-in constructors reached by plain calls and `new` ----

// Installed by the built-ins that own them; while one is null the call
// fails with the "not available" error of its area.
using BuiltinCall = ValueWord (*)(ValueWord* args, int argc);
extern BuiltinCall g_number_conversion;   // Number(x) with an argument, new Number(x)
extern BuiltinCall g_string_conversion;   // String(x) with an argument, new String(x)
extern BuiltinCall g_date_constructor;    // Date(...), new Date(...)
extern BuiltinCall g_regexp_constructor;  // new RegExp(p, f)

// ---- Method dispatch ----

// A built-in method: receiver (undefined for the static receivers Math,
// Object, Number, Date, String), the evaluated arguments and their count.
using MethodRoutine = ValueWord (*)(ValueWord receiver, ValueWord* args, int argc);

// One entry of a method-name table: its argument-count pair and routine.
// exact: the count must equal min. max < 0: no upper bound. supported is
// false for names the receiver kind refuses (sparse-array entries without
// an operation). A null routine means "not built yet" and fails with a
// clear error.
struct MethodEntry {
    int8_t min;
    int8_t max;
    bool exact;
    bool supported;
    MethodRoutine routine;
};

// A fixed-width, blank-padded method-name table. A called name resolves to
// the entry whose text holds it as a substring: entry = match offset /
// width (the first occurrence in the whole text).
struct MethodTable {
    const char* names;
    int width;
    int count;
    MethodEntry* entries;
    int unknown_code;
    const char* unknown_msg;
    int few_code;     // too few, or not the exact count
    int many_code;    // too many
    const char* count_msg;
    int refused_code; // an entry the receiver kind does not support
};

// The tables, one per receiver kind. Built-ins install their routines with
// method_install.
extern MethodTable g_math_methods;
extern MethodTable g_object_static_methods;
extern MethodTable g_number_static_methods;
extern MethodTable g_date_static_methods;
extern MethodTable g_string_static_methods;
extern MethodTable g_string_methods;
extern MethodTable g_date_methods;
extern MethodTable g_regexp_methods;
extern MethodTable g_array_methods;
extern MethodTable g_sparse_methods;
extern MethodTable g_hash_methods;

// Entry index of `name` (len bytes) in the table, or -1.
int method_lookup(const MethodTable& t, const char* name, uint32_t len);
// Sets the routine of the entry whose name is exactly `name`; false when
// the table has no such entry.
bool method_install(MethodTable& t, const char* name, MethodRoutine routine);
// Resolves `name`, checks argc against the entry's pair and calls it with
// (receiver, args, argc). Errors by the table's codes.
ValueWord method_call(const MethodTable& t, uint32_t name_index, ValueWord receiver, ValueWord* args,
                      int argc);

// ---- Console ----

// console.log / console.error with evaluated arguments: the display forms
// (strings quoted) joined without separators; "(L) " / "(E) " lines to
// standard output in script mode and always to the journal.
void console_write(bool is_error, const ValueWord* args, int argc);

// ---- Debugger link hooks ----

// Installed by the debugger link while it is up (debug build only); null
// otherwise, so a call costs one predictable branch per hook.
struct DebugCallHooks {
    void (*enter)(Cell* fn, Cell* call_node, int base);  // before the parameters are named
    void (*bound)(Cell* fn, int base);                   // parameters and locals in place
    void (*leave)(ValueWord result, bool returned);      // body done (returned: return with a value)
    void (*console)(bool is_error, const char* text, size_t len);
};
extern DebugCallHooks g_debug_calls;

// ---- Operation routines ----
ValueWord op_call(Cell* node);       // 160
ValueWord op_new(Cell* node);        // 183
ValueWord op_return(Cell* node);     // 158
ValueWord op_throw(Cell* node);      // 154
ValueWord op_try(Cell* node);        // 153
ValueWord op_error(Cell* node);      // 188 Error(...)
ValueWord op_exception(Cell* node);  // 184 Exception(...)

// Makes an error value from Error/Exception arguments (message string,
// optional code string or integer); error 2360 otherwise.
ValueWord make_script_error(const ValueWord* args, int argc);

// ---- Driver entry points ----

// Evaluates the TOP call node (code 160) as the run's call: the result is
// released. ScriptThrow escapes to the driver's frame 0.
void evaluate_top_call(ValueWord call_node);

}  // namespace velt
