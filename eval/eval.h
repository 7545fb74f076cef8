// The evaluation core: `evaluate`, the operation table, the location
// registers and the helpers every operation routine shares.
//
// Operation table registration
// ----------------------------
// g_op_table is indexed by the operation code byte (256 entries). At start
// optable_init() (eval/optable.cpp) fills every entry with a default (the
// "not available yet" routine of the code's area for codes 100-194 whose
// subsystem is not built yet, the EVAL-error routine 1860 for 195-255 and
// for codes below 100), then calls each area's registration procedure,
// which writes its routines straight into g_op_table[code]:
//     register_core_routines()      eval/eval.cpp       100, 107-109, 139, 140, 144-146, 159, 189
//     register_operator_routines()  eval/operators.cpp  101-106, 110-138, 161, 186, 187
//     register_flow_routines()      eval/scope.h        141-143, 147-152, 155-158, 170, and
//                                                       (through eval/calls.h) 153, 154, 160,
//                                                       183, 184, 188
// A later subsystem adds its own register_<area>_routines() call to
// optable_init(). Last, optable_init() derives g_eval_table from
// g_op_table: the codes that a debugger evaluation refuses get the 1860
// routine, every other code the same routine. Registration therefore never
// touches g_eval_table.
//
// Temporaries: a result nobody holds has reference nibble 0; a routine
// that consumes an operand's value calls value_release_temp on it. A
// result a routine takes from its operands (an element, a variable's value)
// is held while the operands are released and handed over with
// value_unhold, never freed on the way.
//
// Holding is counted: `++x`, `--x` and a discarded `x++` / `x--` change a
// number cell in place when the location is its only holder (nibble 1),
// and a store releases the old value. Code that keeps a value word while
// evaluating something else (argument lists, scratch arrays) must retain
// it meanwhile, or read what it needs from it first.
#pragma once

#include <cstdint>
#include <cstring>

#include "driver/run.h"
#include "values/areas.h"
#include "values/values.h"
#include "values/word.h"

namespace velt {

// ---- Operation table ----

using OpRoutine = ValueWord (*)(Cell* node);
constexpr int OP_TABLE_SIZE = 256;
constexpr uint32_t OP_FIRST = 100;
constexpr uint32_t OP_LAST_USED = 194;
constexpr uint32_t OP_LAST_RESERVED = 228;

extern OpRoutine g_op_table[OP_TABLE_SIZE];
// Same shape, used while the debugger evaluates an expression.
extern OpRoutine g_eval_table[OP_TABLE_SIZE];
// The table evaluate dispatches through: g_op_table, or g_eval_table while
// a debugger evaluation runs (set_eval_mode).
extern OpRoutine* g_dispatch;
void set_eval_mode(bool on);
inline bool eval_mode() { return g_dispatch == g_eval_table; }

// Fills both tables (idempotent; the driver calls it before the first
// evaluation, unit tests may call it again).
void optable_init();
// Registration procedures of the evaluator's own files.
void register_core_routines();
void register_operator_routines();

// Whether a debugger evaluation refuses the code (error 1860).
bool eval_refuses(uint32_t op);

// ---- Debugger hook ----

// Called before every operation node is dispatched when not null. Stays
// null until the debugger link is up (debug build only).
using DebugHook = void (*)(Cell* node);
extern DebugHook g_debug_hook;

// ---- Location registers and create mode ----

enum LocationKind : uint32_t {
    LOC_NONE = 0,       // no home: stores fail or are ignored
    LOC_ELEMENT = 3,    // Array element: owner Array, index
    LOC_LASTINDEX = 5,  // lastIndex field of a RegExp: owner RegExp
    LOC_LOCAL = 10,     // g_locals.slots[index]
    LOC_GLOBAL = 11,    // g_globals.slots[index]
    LOC_PAIR = 21,      // pair slot: owner Object or sparse array, pair index
};

// The slot "table" is kept as the owner word, not as a raw address: a
// store resolves the owner's current element or pair block, so a block
// moved by growth in between is never written.
struct Location {
    uint32_t kind;
    uint32_t index;
    ValueWord owner;  // kinds 3, 5, 21
    bool is_const;
};
extern Location g_loc;
extern bool g_create_mode;

inline void clear_location() {
    g_loc.kind = LOC_NONE;
    g_loc.is_const = false;
}

// The value slot a location designates (kinds 3, 10, 11, 21), or null
// when it no longer exists (owner changed kind, index out of range) or the
// kind has no word slot (0, 5).
AreaWord* location_slot(const Location& loc);
// Whether an expression leaves its location in the registers: a name, an
// index or member access, or a group whose last item does. Anything else
// (a call above all) may leave registers of another frame behind, which
// callers must drop.
bool has_location_shape(ValueWord w);
// Store through a location: v is retained, the old value released (kind 5
// receives the integer's number). Error 2000 for a kind without a slot.
void store_location(const Location& loc, ValueWord v);
// As store_location, but v already carries the hold the slot takes
// (nibble 1 makers of compound assignment and ++/--).
void store_location_held(const Location& loc, ValueWord v);

// Whether nobody holds a value (reference nibble 0): a temporary. False
// for words without memory.
[[gnu::always_inline]] inline bool is_unheld(ValueWord w) {
    const uint8_t* p = word_memory(w);
    return p != nullptr && (*p >> 4) == 0;
}
// Inline forms of value_release_temp, value_retain and value_unhold for
// the hot paths (same rules as values/values.h; words whose top byte is
// 0xFF and tag 4 are left alone there too).
[[gnu::always_inline]] inline bool counted_word(ValueWord w) { return w < 0x10000000u && ((0x7FEEu >> (w >> 24)) & 1u); }
// Temporary number cells released here wait in a small stash (marked
// permanent, so nothing frees or changes them meanwhile) and are handed out
// again by new_int / new_float: an arithmetic loop then allocates no cells.
// optable_init empties it, since unit tests drop the areas between runs.
constexpr uint32_t NUMBER_STASH_SIZE = 16;
struct NumberStash {
    uint32_t count;
    ValueWord words[NUMBER_STASH_SIZE];
};
extern NumberStash g_number_stash;
[[gnu::always_inline]] inline void release_temp(ValueWord w) {
    if (!counted_word(w)) return;
    uint8_t* p = word_memory(w);
    if ((*p >> 4) != 0) return;
    uint32_t tag = w >> 24;
    if ((tag == TAG_INT || tag == TAG_FLOAT) && g_number_stash.count < NUMBER_STASH_SIZE) {
        *p = static_cast<uint8_t>(0xF0u | tag);
        g_number_stash.words[g_number_stash.count++] = w;
        return;
    }
    value_free(tag, w);
}
// value_release for a slot's old value: a number whose last hold goes
// waits in the stash as well.
[[gnu::always_inline]] inline void drop_hold(ValueWord w) {
    uint32_t tag = w >> 24;
    if ((tag == TAG_INT || tag == TAG_FLOAT) && g_number_stash.count < NUMBER_STASH_SIZE) {
        uint8_t* p = &dw_cell(w)->hdr;
        if ((*p >> 4) == 1) {
            *p = static_cast<uint8_t>(0xF0u | tag);
            g_number_stash.words[g_number_stash.count++] = w;
            return;
        }
    }
    value_release(w);
}
// A cleared number cell from the stash with the given header, or 0.
[[gnu::always_inline]] inline Cell* stash_cell(uint32_t tag, uint32_t initial_count, ValueWord* out) {
    if (g_number_stash.count == 0) return nullptr;
    ValueWord w = g_number_stash.words[--g_number_stash.count];
    Cell* c = dw_cell(w);
    std::memset(c, 0, sizeof(Cell));
    c->hdr = static_cast<uint8_t>(tag + 16 * initial_count);
    *out = (w & 0x00FFFFFFu) | (tag << 24);
    return c;
}
// make_int / make_float, reusing a stashed cell when there is one.
[[gnu::always_inline]] inline ValueWord new_int(int32_t v, uint32_t initial_count = 0) {
    ValueWord w;
    Cell* c = stash_cell(TAG_INT, initial_count, &w);
    if (c == nullptr) return make_int(v, initial_count);
    set_cell_int(c, v);
    return w;
}
[[gnu::always_inline]] inline ValueWord new_float(double d, uint32_t initial_count = 0) {
    ValueWord w;
    Cell* c = stash_cell(TAG_FLOAT, initial_count, &w);
    if (c == nullptr) return make_float(d, initial_count);
    set_cell_float(c, d);
    return w;
}
[[gnu::always_inline]] inline ValueWord retain(ValueWord w) {
    if (counted_word(w)) {
        uint8_t* p = word_memory(w);
        if (*p < 0xF0) *p = static_cast<uint8_t>(*p + 0x10);
    }
    return w;
}
[[gnu::always_inline]] inline void unhold(ValueWord w) {
    if (counted_word(w)) {
        uint8_t* p = word_memory(w);
        uint32_t nibble = *p >> 4;
        if (nibble >= 1 && nibble <= 14) *p = static_cast<uint8_t>(*p - 0x10);
    }
}

// ---- Small integers ----

// Integer results from -1024 to 65535 come from a table of permanent cells
// (nibble 15), each made on first use: no cell is allocated or freed for
// them. Nothing changes such a cell in place (in-place changes need nibble
// 0 or 1), so sharing them is safe. optable_init forgets the table, since
// unit tests drop the areas between runs.
constexpr int32_t SMALL_INT_MIN = -1024;
constexpr int32_t SMALL_INT_MAX = 65535;
extern ValueWord g_small_ints[SMALL_INT_MAX - SMALL_INT_MIN + 1];
ValueWord small_int_make(int32_t v);
void small_ints_reset();
// An integer value: the permanent cell for a small one, else a new
// temporary.
[[gnu::always_inline]] inline ValueWord int_value(int32_t v) {
    uint32_t i = static_cast<uint32_t>(v) - static_cast<uint32_t>(SMALL_INT_MIN);
    if (i <= static_cast<uint32_t>(SMALL_INT_MAX - SMALL_INT_MIN)) {
        ValueWord w = g_small_ints[i];
        return w != 0 ? w : small_int_make(v);
    }
    return new_int(v);
}

// ---- Evaluation ----

// Variable lookup of a name word: locals of the running function (while
// block depth > 0), then globals from the last entry; a missing name is
// added to the globals with undefined. Sets g_loc (kind 10 or 11, const
// flag). The value is returned as stored (not retained).
ValueWord lookup_name(ValueWord name);

// Routine of words other than nodes and finished values: names, template
// strings, literal containers, and the error 2015 for tags 1, 3, 4, 15.
ValueWord evaluate_other(ValueWord w);

// Updates the current module and source position from a node (bytes 1 and
// 12-15; the 255 block form carries no position).
inline void set_position(const Cell* node) {
    g_run.current_module = node->b1 & 0x7Fu;
    if (node->b2 != NODE_MANY_OPERANDS) {
        g_run.current_line = node->d12 & 0xFFFFu;
        g_run.current_column = (node->d12 >> 16) & 0x7FFFu;
    }
}

inline ValueWord evaluate_node(Cell* node) {
    set_position(node);
    if (g_debug_hook) g_debug_hook(node);
    return g_dispatch[node->b3](node);
}

// Tags returned as they are: 2 integer, 5 Date, 6 error value, 7 RegExp,
// 8 float, 14 Function (9 strings without the template mark too).
constexpr uint32_t PASS_TAGS = (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7) | (1u << 8) | (1u << 14);

inline ValueWord evaluate(ValueWord w) {
    uint32_t tag = word_tag(w);
    if (tag == TAG_NODE) return evaluate_node(dw_cell(w));
    if ((PASS_TAGS >> tag) & 1u) return w;
    if (tag == TAG_NAME) return w <= W_NAN ? w : lookup_name(w);
    if (tag == TAG_STRING && str_mark(dw_cell(w)) >= 0) return w;
    return evaluate_other(w);
}

// Evaluates a statement or expression whose value nobody uses (statements
// of blocks and loops, for-loop updates, all but the last item of a
// sequence): `x++` and `x--` then behave like `++x` and `--x` (with their
// own error codes) and need no copy of the old value. The result is
// released by the caller with release_temp as usual.
ValueWord evaluate_discarded(ValueWord w);


// Condition value of any word.
bool truthiness(ValueWord w);

// A template string's expansion (display form of each placeholder's last
// value) as a new string.
ValueWord expand_template(ValueWord str);

// ---- Node operands ----

inline uint32_t node_operand_count(const Cell* node) {
    return node->b2 == NODE_MANY_OPERANDS ? node->d12 : node->b2;
}
// The operand words: the inline pair at bytes 4-11 for counts 0-2, the
// area block for 3 and more (and for the 255 form).
inline AreaWord* node_operand_words(Cell* node) {
    if (node->b2 <= 2) return reinterpret_cast<AreaWord*>(reinterpret_cast<uint8_t*>(node) + 4);
    return static_cast<AreaWord*>(area_ptr(node->d4));
}
inline ValueWord node_operand(Cell* node, uint32_t i) { return node_operand_words(node)[i]; }
// Fixed pair of operands (bytes 4-7 and 8-11).
inline ValueWord node_first(const Cell* node) { return node->d4; }
inline ValueWord node_second(const Cell* node) { return node->d8; }

// ---- Object pairs ----

// The most entries an Object (a Hash) holds: its count and capacity are
// 16-bit fields.
constexpr uint32_t OBJECT_MAX_PAIRS = 0xFFFFu;
// Appends the pair (key, undefined) to an Object, growing its pair block
// geometrically; returns the new pair's index. Error 1400 when the Object
// already holds OBJECT_MAX_PAIRS entries.
uint32_t object_append_pair(ValueWord obj, ValueWord key);

// ---- RegExp properties (filled by the RegExp engine) ----

// Property index in "flags dotAll global ignoreCase multiline source sticky
// unicode lastIndex" (0-8). While null, a RegExp member fails with a
// "not available yet" error of the RegExp area.
constexpr int REGEXP_PROP_LAST_INDEX = 8;
using RegExpPropertyRoutine = ValueWord (*)(ValueWord regexp, int property);
extern RegExpPropertyRoutine g_regexp_property;
// Store into the lastIndex field (location kind 5).
using RegExpLastIndexStore = void (*)(ValueWord regexp, int32_t value);
extern RegExpLastIndexStore g_regexp_store_last_index;

// ---- Failures of later subsystems ----

// Error of a routine whose subsystem is not built yet: report_error with
// the area's code and the message "未実装の機能です '%s'" naming the
// feature. Codes used: 1250 database and front-end statements, 6350
// sql_aggregate / record_map, 4600 RegExp, 5500 Date, 1510 URI functions,
// 2335 Number/String/parseInt/parseFloat, 2350 eval, 2000 evaluator.
[[noreturn]] void not_available(int code, const char* feature);

// Error 1860 "デバッグでのEVALエラー" (refused code in a debugger evaluation,
// reserved codes).
ValueWord op_eval_error(Cell* node);

}  // namespace velt
