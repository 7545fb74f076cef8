// The local variable stack, the global variable table and the scope state.
#include "eval/scope.h"

#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "values/values.h"

namespace velt {

LocalStack g_locals = {nullptr, 0, 0};
GlobalTable g_globals = {nullptr, 0, 0};
ScopeState g_scope = {0, 0, 0, 0, 0, 0};
PendingJump g_jump = {-1, 0};

void locals_reserve(int more) {
    long need = static_cast<long>(g_locals.top) + more + 1;
    if (need <= g_locals.capacity) return;
    long cap = need + 512;
    if (cap > 0x7FFFFFF0L) report_error(1400, "メモリ領域を取得できません");
    auto* grown = static_cast<VarSlot*>(std::realloc(g_locals.slots, sizeof(VarSlot) * static_cast<size_t>(cap)));
    if (!grown) report_error(1400, "メモリ領域を取得できません");
    g_locals.slots = grown;
    g_locals.capacity = static_cast<int>(cap);
}

void locals_pop_to(int top) {
    while (g_locals.top > top) {
        ValueWord v = g_locals.slots[g_locals.top].value;
        --g_locals.top;
        value_release(v);
    }
}

int local_find(ValueWord name) {
    if (g_scope.block_depth <= 0) return 0;
    ValueWord key = name & VAR_NAME_MASK;
    int low = g_scope.frame_base > 1 ? g_scope.frame_base : 1;
    for (int i = g_locals.top; i >= low; --i) {
        if ((g_locals.slots[i].name & VAR_NAME_MASK) == key) return i;
    }
    return 0;
}

int global_find(ValueWord name) {
    ValueWord key = name & VAR_NAME_MASK;
    for (int i = static_cast<int>(g_globals.count) - 1; i >= 0; --i) {
        if ((g_globals.slots[i].name & VAR_NAME_MASK) == key) return i;
    }
    return -1;
}

int global_append(ValueWord name, ValueWord value) {
    if (g_globals.count == g_globals.capacity) {
        uint32_t cap = g_globals.capacity + 512;
        auto* grown = static_cast<VarSlot*>(std::realloc(g_globals.slots, sizeof(VarSlot) * cap));
        if (!grown) report_error(1400, "メモリ領域を取得できません");
        g_globals.slots = grown;
        g_globals.capacity = cap;
    }
    g_globals.slots[g_globals.count] = {name, value};
    return static_cast<int>(g_globals.count++);
}

void global_store(ValueWord name, ValueWord held) {
    int i = global_find(name);
    if (i >= 0) {
        ValueWord old = g_globals.slots[i].value;
        g_globals.slots[i].value = held;
        value_release(old);
    } else {
        global_append(name, held);
    }
}

void bind_global(uint32_t name_index, ValueWord value) {
    global_store(name_word(name_index), value_retain(value));
}

ValueWord global_value(uint32_t name_index) {
    int i = global_find(name_word(name_index));
    return i >= 0 ? g_globals.slots[i].value : W_UNDEFINED;
}

void scope_reset() {
    std::free(g_locals.slots);
    std::free(g_globals.slots);
    g_locals = {nullptr, 0, 0};
    g_globals = {nullptr, 0, 0};
    g_scope = {0, 0, 0, 0, 0, 0};
    g_jump = {-1, 0};
}

}  // namespace velt
