// Where variables live, and the state that statements, loops, switches,
// tries and calls share: the local variable stack, the global variable
// table, the scope indexes and the pending-jump register.
//
// break, continue and return never throw: they put a jump into the
// pending-jump register and return. Every routine that runs statements in
// sequence checks `g_jump.target >= 0` after each statement and, when set,
// unwinds by returning. The routine owning the target frame takes the jump.
// Exceptions (script throw and report_error) throw ScriptThrow instead
// (driver/errors.h); only try routines catch it.
#pragma once

#include <cstdint>

#include "driver/errors.h"
#include "values/word.h"

namespace velt {

// A (name word, value word) pair of the local stack or the global table.
// Bit 31 of the stored name word is the const flag; names compare on bits
// 0-27.
struct VarSlot {
    ValueWord name;
    ValueWord value;
};

constexpr ValueWord VAR_CONST = 0x80000000u;
constexpr ValueWord VAR_NAME_MASK = 0x0FFFFFFFu;

// The local variable stack of every running function and block. Entry 0 is
// never used: top is 0 when empty, the top entry is slots[top].
struct LocalStack {
    VarSlot* slots;
    int top;
    int capacity;  // number of slots allocated (entries 0 .. capacity-1)
};
extern LocalStack g_locals;

// The global variable table, searched from its last entry to its first.
struct GlobalTable {
    VarSlot* slots;
    uint32_t count;
    uint32_t capacity;
};
extern GlobalTable g_globals;

// Scope indexes.
//  frame_base:  first local of the running function (0 or less outside any
//               function); lookup never searches below it.
//  block_base:  first local of the innermost block (let/const duplicates).
//  block_depth: enclosing blocks and for statements; locals are searched
//               only while it is above 0.
//  fn_params, fn_locals: parameter and local-variable counts of the
//               running function (for-of / for-in with var).
//  call_depth:  script calls under way; restored with the rest when a call
//               returns or a try catches.
struct ScopeState {
    int frame_base;
    int block_base;
    int block_depth;
    uint32_t fn_params;
    uint32_t fn_locals;
    int call_depth;
};
extern ScopeState g_scope;

// Jump values of break, continue and return without a value; any other
// jump value is a value word (the value of return).
constexpr ValueWord JUMP_BREAK = 0x408F0000u;
constexpr ValueWord JUMP_CONTINUE = 0x407F0000u;
constexpr ValueWord JUMP_RETURN_EMPTY = 0x406F0000u;

// The pending-jump register: target is the try-stack index of the frame
// that must receive the jump, -1 when no jump is pending.
struct PendingJump {
    int target;
    ValueWord value;
};
extern PendingJump g_jump;

inline bool jump_pending() { return g_jump.target >= 0; }

// ---- Local variable stack ----

// Makes room for `more` pushes (grows to top + more + 512); error 1400 when
// memory runs out.
void locals_reserve(int more);
// Pushes a pair (the value is stored as given: the caller retains it).
inline void local_push(ValueWord name, ValueWord value) {
    if (g_locals.top + 1 >= g_locals.capacity) locals_reserve(1);
    VarSlot& s = g_locals.slots[++g_locals.top];
    s.name = name;
    s.value = value;
}
// Pops every local above `top`, releasing the values.
void locals_pop_to(int top);
// Index of the nearest local named `name` from the top down to the frame
// base, or 0 when none (locals are searched only while block depth > 0).
int local_find(ValueWord name);

// ---- Global variable table ----

// Index of the last global named `name`, or -1.
int global_find(ValueWord name);
// Appends a global (value stored as given); returns its index. The table
// grows by 512 entries.
int global_append(ValueWord name, ValueWord value);
// Stores a value already retained into the global `name` like a top-level
// `var`: an existing entry has its old value released and replaced, else a
// new entry is appended.
void global_store(ValueWord name, ValueWord held);
// Binds a global by name index like a top-level `var`: an existing entry
// has its old value released and replaced, else a new entry is appended.
// The value is retained. Used by the driver for the VAR list, the four
// constants and the request globals.
void bind_global(uint32_t name_index, ValueWord value);
// The value of a global by name index (undefined when missing; does not
// create it).
ValueWord global_value(uint32_t name_index);

// Drops every local and global and resets the scope indexes and the pending
// jump (start of a run; unit tests).
void scope_reset();

// Pushes a try-stack frame and returns its index: inline while there is
// room, through try_push when the stack must grow.
inline int push_frame(uint8_t kind) {
    if (g_try.count < g_try.capacity) {
        g_try.frames[g_try.count].kind = kind;
        return g_try.count++;
    }
    return try_push(kind);
}

// ---- Jumps ----

// Sets the pending jump. Error 2070 / 2075 / 2080 when no frame receives
// it (see control.cpp for the frame search).
void jump_break();
void jump_continue();
void jump_return(ValueWord value);

// ---- Statement routines (operation table, codes of control flow) ----
// Each takes the node's cell and returns a word.

ValueWord op_var(Cell* node);       // 141
ValueWord op_let(Cell* node);       // 142
ValueWord op_const(Cell* node);     // 143
ValueWord op_if(Cell* node);        // 147
ValueWord op_while(Cell* node);     // 148
ValueWord op_do(Cell* node);        // 149
ValueWord op_for(Cell* node);       // 150
ValueWord op_for_of(Cell* node);    // 151
ValueWord op_for_in(Cell* node);    // 152
ValueWord op_block(Cell* node);     // 155
ValueWord op_break(Cell* node);     // 156
ValueWord op_continue(Cell* node);  // 157
ValueWord op_switch(Cell* node);    // 170

// Installs the routines above and those of eval/calls.h into the operation
// table.
void register_flow_routines();

// Evaluates a list of statements in order (results released), stopping
// early when a jump is pending. Used by the driver for the program
// statement list.
void run_statements(const AreaWord* items, uint32_t count);

}  // namespace velt
