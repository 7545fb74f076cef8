// Reference counts, freeing and copying of values.
#pragma once

#include <cstdint>

#include "values/word.h"

namespace velt {

// Adds one to the reference nibble unless it is 15; tags 0 and 15 untouched.
ValueWord value_retain(ValueWord w);
// As value_retain, returning the nibble as it was (as nibble x 16).
uint32_t value_retain_old(ValueWord w);
// Drops one reference; frees the value when it reaches 0 (nibble 0 frees at
// once, nibble 15 is permanent).
void value_release(ValueWord w);
// Frees the value if nobody holds it (nibble 0).
void value_release_temp(ValueWord w);
// Gives up one hold without ever freeing; returns (old nibble + 1) x 16 as
// an 8-bit quantity.
uint32_t value_unhold(ValueWord w);
// Frees a value by kind, releasing what it holds.
void value_free(uint32_t tag, ValueWord w);
// Deep copy used by `new` and the copying built-ins (error 1420 for nodes;
// 2390 for containers nested deeper than 1000 levels, such as an array that
// holds itself).
ValueWord value_copy(ValueWord w);

// Reference nibble of a value (0 for words without memory).
uint32_t value_nibble(ValueWord w);

// Makers of the simple kinds (nibble as given).
ValueWord make_int(int32_t v, uint32_t initial_count = 0);
ValueWord make_float(double d, uint32_t initial_count = 0);
// An error value (tag 6) from a code text and a message.
ValueWord make_error_value(const char* code, const char* message, size_t message_len);
const char* error_code_text(ValueWord w);
const char* error_message_text(ValueWord w, size_t* len);

}  // namespace velt
