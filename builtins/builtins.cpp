// The one place that registers every built-in file's routines.
#include "builtins/builtins.h"

namespace velt {

MethodRoutine g_regexp_replace = nullptr;
MethodRoutine g_regexp_replace_all = nullptr;
MethodRoutine g_regexp_split = nullptr;

void register_builtin_routines() {
    register_array_builtins();
    register_string_builtins();
    register_math_builtins();
    register_hash_builtins();
    register_uri_builtins();
    register_eval_builtins();
    register_regexp_builtins();
    register_date_builtins();
}

}  // namespace velt
