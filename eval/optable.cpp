// The operation table and the EVAL table: defaults and the registration of
// every area's routines.
#include <cstdio>

#include "builtins/builtins.h"
#include "db/database.h"
#include "db/frontend.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "eval/scope.h"

namespace velt {

namespace {

// Every entry starts at a routine that fills the tables on first use, so
// an evaluation before optable_init() still dispatches correctly. The
// arrays are constant-initialised: no start-up work.
ValueWord op_first_use(Cell* node);

#define VELT_R4 op_first_use, op_first_use, op_first_use, op_first_use
#define VELT_R16 VELT_R4, VELT_R4, VELT_R4, VELT_R4
#define VELT_R64 VELT_R16, VELT_R16, VELT_R16, VELT_R16
#define VELT_R256 VELT_R64, VELT_R64, VELT_R64, VELT_R64

}  // namespace

OpRoutine g_op_table[OP_TABLE_SIZE] = {VELT_R256};
OpRoutine g_eval_table[OP_TABLE_SIZE] = {VELT_R256};
OpRoutine* g_dispatch = g_op_table;

#undef VELT_R4
#undef VELT_R16
#undef VELT_R64
#undef VELT_R256

namespace {

ValueWord op_first_use(Cell* node) {
    optable_init();
    return g_dispatch[node->b3](node);
}

// A code in the used range that no subsystem registered a routine for.
ValueWord op_not_available(Cell* node) {
    char name[24];
    std::snprintf(name, sizeof name, "operation %u", static_cast<unsigned>(node->b3));
    not_available(2000, name);
}

// Codes a debugger evaluation refuses.
bool refused(uint32_t op) {
    if (op < OP_FIRST || op > OP_LAST_USED) return true;
    if (op == 105 || op == 106) return true;
    if (op >= 141 && op <= 143) return true;
    if (op >= 148 && op <= 158) return true;
    if (op == 160) return true;
    if (op >= 162 && op <= 170) return true;
    if (op >= 180 && op <= 184) return true;
    if (op == 188 || op == 190) return true;
    if (op >= 192 && op <= 194) return true;
    return false;
}

}  // namespace

bool eval_refuses(uint32_t op) { return refused(op); }

[[noreturn]] void not_available(int code, const char* feature) {
    report_error(code, "未実装の機能です '%s'", feature);
}

ValueWord op_eval_error(Cell*) { report_error(1860, "デバッグでのEVALエラー"); }

void set_eval_mode(bool on) { g_dispatch = on ? g_eval_table : g_op_table; }

void optable_init() {
    small_ints_reset();
    for (int op = 0; op < OP_TABLE_SIZE; ++op) {
        bool used = op >= static_cast<int>(OP_FIRST) && op <= static_cast<int>(OP_LAST_USED) && op != 190;
        g_op_table[op] = used ? op_not_available : op_eval_error;
    }
    register_core_routines();
    register_operator_routines();
    register_flow_routines();
    register_frontend_routines();
    register_database_routines();
    register_builtin_routines();
    for (int op = 0; op < OP_TABLE_SIZE; ++op) {
        g_eval_table[op] = refused(static_cast<uint32_t>(op)) ? op_eval_error : g_op_table[op];
    }
}

}  // namespace velt
