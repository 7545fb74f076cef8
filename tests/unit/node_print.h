// Test-only printer of values and program nodes, for parser unit tests.
//
// Forms: a name prints as its text, the immediates as undefined / true /
// false / null / NaN, an integer in decimal, a float with the system's
// float form followed by "f" (2.5f), a string in double quotes (a template
// in backquotes), an Array as [a b c], an Object as {k: v, k2: v2}, a
// function as <function params/locals body>, and an operation node as
// (code operand operand ...). The argument array of a call (160) or new
// (183) prints as [args]; the for node (150) as (150 [init ; cond ; update]
// body); the catch record of try (153) as {name block}; the switch record
// (170) as (170 disc {case-table} [statements] default-flag).
#pragma once

#include <string>

#include "values/word.h"

namespace velt {

std::string node_print(ValueWord w);

}  // namespace velt
