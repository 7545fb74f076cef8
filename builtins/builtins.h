// Registration of the built-in library: each built-in file installs its
// method routines into the method-name tables (eval/calls.h) and its
// operation routines into the operation table (eval/eval.h).
#pragma once

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

}  // namespace velt
