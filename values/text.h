// Strings, the two text forms of values, number reading and the Integer /
// Float conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "values/word.h"

namespace velt {

// A growing byte buffer for text output (heap-backed; no fixed bound).
// After any append, data[len] is a NUL. The buffer frees itself when it
// goes out of scope, so an error that unwinds through its owner leaks
// nothing.
struct TextBuf {
    char* data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    TextBuf() = default;
    TextBuf(const TextBuf&) = delete;
    TextBuf& operator=(const TextBuf&) = delete;
    ~TextBuf() { std::free(data); }
};
void textbuf_append(TextBuf& b, const char* s, size_t n);
void textbuf_append(TextBuf& b, const char* s);
void textbuf_free(TextBuf& b);

// A new string value (nibble 0): capacity n + 8, area memory n + 12.
ValueWord make_string(const char* text, size_t len);
// A new string of two texts joined (same layout as make_string).
ValueWord make_string_pair(const char* a, size_t la, const char* b, size_t lb);
// Appends b to the string s in place, growing its storage geometrically
// (so n appends copy O(n) bytes in all). Only for a string that nobody
// else can observe: its one holder is the variable being extended.
// A result of 2^31 bytes or more fails with 1400.
void string_append_in_place(ValueWord s, const char* b, size_t lb);
// Text and length of a string value.
const char* string_text(ValueWord w);
uint32_t string_length(ValueWord w);

// "%d" for integers; "%.10f" with trailing zeros trimmed for floats.
size_t format_int(char* out, int32_t v);
size_t format_float(char* out, double d);  // out needs 400 bytes

// Plain form (String(x), toString, error excerpts); error 2522 for
// Function, tag 4 and tag 15. Arrays and objects nested deeper than 1000
// levels (an array that holds itself) fail with 2390 in both forms.
void value_text(ValueWord w, TextBuf& out);
// Display form (console, templates, debugger); error 2520 for the kinds the
// display form does not know.
void value_display(ValueWord w, bool quote_strings, TextBuf& out);

// Number reading. Reads from *cursor; on return *cursor is past the number.
// is_int tells which of the two results holds. Malformed text raises parse
// error 1405.
struct NumberRead {
    bool is_int;
    int64_t i;
    double d;
};
NumberRead read_number(const char** cursor, const char* end);

// Integer(x) and Float(x) with their argument list (argc 0 or 1 allowed).
ValueWord convert_integer(const ValueWord* args, int argc);
ValueWord convert_float(const ValueWord* args, int argc);

// Hook for the Date text forms (filled by the Date built-in). Until then
// dates are written from their cell fields by a simple fallback.
using DateTextHook = void (*)(ValueWord date, bool display_form, TextBuf& out);
extern DateTextHook date_text_hook;
// Hook for the RegExp text form "/source/flags" (filled by the RegExp
// engine). Until then a RegExp is written "//" and its flag letters.
using RegExpTextHook = void (*)(ValueWord regexp, TextBuf& out);
extern RegExpTextHook regexp_text_hook;

}  // namespace velt
