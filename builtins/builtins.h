// Registration of the built-in library: each built-in file installs its
// method routines into the method-name tables (eval/calls.h) and its
// operation routines into the operation table (eval/eval.h).
#pragma once

#include "eval/calls.h"

namespace velt {

// Called once by optable_init(); calls every register_* below.
void register_builtin_routines();

void register_array_builtins();    // builtins/array.cpp
void register_string_builtins();   // builtins/string.cpp
void register_math_builtins();     // builtins/math.cpp: Math, Number, parseInt, parseFloat
void register_hash_builtins();     // builtins/hash.cpp: Object, Hash
void register_uri_builtins();      // builtins/uri.cpp
void register_eval_builtins();     // builtins/evalstr.cpp
void register_regexp_builtins();   // builtins/regexp.cpp
void register_date_builtins();     // builtins/date.cpp

// String methods whose pattern argument is a RegExp value: the String
// routines (builtins/string.cpp) hand such a call, with the same receiver
// and arguments, to these. builtins/regexp.cpp installs them; while one is
// null the call fails with "未実装の機能です 'RegExp'" (4600).
extern MethodRoutine g_regexp_replace;      // s.replace(re, replacement)
extern MethodRoutine g_regexp_replace_all;  // s.replaceAll(re, replacement)
extern MethodRoutine g_regexp_split;        // s.split(re [, limit])

}  // namespace velt
