// Date built-in: date-text parsing, shared with the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt {

// Parses a date text of `len` bytes (not necessarily NUL-terminated; no
// byte past len is read): seconds since 1970 (not checked against the
// Date cell's range, but never before 1970: 5500), milliseconds and whether
// the text named a GMT/UTC zone. Errors 5505, 5510, 5515 as the constructor
// reports them.
void parse_date_text(const char* text, size_t len, int64_t* seconds, int* ms, bool* zone);

}  // namespace velt
