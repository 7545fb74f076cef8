// RegExp engine interface: the node record, compiling and matching on
// UTF-16 units, and the printer of `source` (builtins/regexp.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "values/word.h"

namespace velt {

// One element of a compiled sequence (20 bytes, stored in area memory).
// For a capturing group (kind 60) `min` holds the group's slot number in
// the capture side table (1, 2, ... in the order of the opening
// parentheses over the whole pattern) and `max` is 0.
struct RegexNode {
    uint32_t body;    // sub-pattern of a group or lookaround
    uint32_t name;    // name index of a named group
    uint8_t kind;
    uint8_t quant;    // 0, 1 {n}, 2 ?, 4 {n,m}, 8 {n,}; +0x20 lazy
    uint8_t look;     // 0, 'F', 'G', 'P', 'Q'
    uint8_t cflags;   // class flags, or the group number of a back-reference
    uint16_t min;
    uint16_t max;
    uint16_t lit;     // index of the node's units in the literal buffer
    uint16_t litlen;
};
static_assert(sizeof(RegexNode) == 20, "node record is 20 bytes");

// Step budget of one match (reaching it fails with 5095); tests and the
// fuzzer lower it.
extern long g_regexp_step_limit;

// Compiles UTF-16 units with a flags byte (text: the pattern for messages).
ValueWord regexp_compile(const uint16_t* units, size_t n, uint8_t flags, const char* text);
// Compiles a UTF-8 pattern.
ValueWord regexp_compile_text(const char* pattern, size_t len, uint8_t flags);
uint8_t regexp_parse_flags(const char* f, size_t n);
// Match from start: end position or -1; *mstart gets the match start.
int32_t regexp_match(ValueWord re, const uint16_t* s, int32_t len, int32_t start, uint8_t flags, int32_t* mstart);
// The pattern printed back from the nodes.
std::string regexp_source(ValueWord re);

}  // namespace velt
