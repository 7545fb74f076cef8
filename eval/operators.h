// Operators: assignment, compound assignment, increment and decrement,
// arithmetic and concatenation, comparison, bitwise operators, typeof and
// instanceof. The routines themselves are registered into the operation
// table by register_operator_routines (eval/eval.h); the pieces below are
// shared with other routines (switch uses strict equality, built-ins the
// coercions).
#pragma once

#include <cstdint>

#include "values/word.h"

namespace velt {

// Strict equality (===): integers and floats by value (NaN unequal), strings
// by bytes, anything else by identical words.
bool strict_equals(ValueWord a, ValueWord b);

// The comparison of ==, !=, <, <=, >, >= for an operation code 110, 112,
// 114-117 (numbers as doubles, number against number text, strings by
// unsigned bytes, anything else by identical bits 0-27).
bool compare_values(uint32_t op, ValueWord a, ValueWord b);

// a + b by the coercion table of `+` as a new value (nibble 0); error 2240
// for unsupported kinds. Inputs are not released.
ValueWord add_values(ValueWord a, ValueWord b);

// Numeric reading of an operand: integer, float (marks floating), string
// read with strtod (a rest: 2305; containing "." marks floating); other
// kinds: 2310.
double read_numeric(ValueWord v, bool* floating);

// The typeof name of a value ("undefined", "boolean", "number", "string",
// "function", "symbol", "object" or an Object's class name).
const char* typeof_text(ValueWord v);

// Whether v is an instance of the class with that name index.
bool instance_of(ValueWord v, uint32_t class_name);

// A double truncated toward zero into 32 bits: values beyond the range wrap
// modulo 2^32; NaN and infinities give 0.
int32_t int_from_double(double d);

}  // namespace velt
