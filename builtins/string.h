// UTF-8 character stepping and string making shared by the built-ins:
// positions and counts in characters, a character's length read from its
// first byte, results of a known size filled in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "values/word.h"

namespace velt {

// Bytes of the character a first byte starts: 0x00-0x7F 1, 0xC0-0xDF 2,
// 0xE0-0xEF 3, 0xF0-0xF7 4, 0xF8-0xFB 5, 0xFC-0xFD 6. Continuation bytes
// (0x80-0xBF) and 0xFE / 0xFF met where a character should start count as
// one byte each, so malformed text is still stepped over byte by byte.
inline uint32_t utf8_char_length(unsigned char b) {
    if (b < 0xC0) return 1;
    if (b < 0xE0) return 2;
    if (b < 0xF0) return 3;
    if (b < 0xF8) return 4;
    if (b < 0xFC) return 5;
    if (b < 0xFE) return 6;
    return 1;
}

// Byte offset where character `index` begins in s[0, len): len when the
// text has `index` characters or fewer. A last character cut by the end
// counts as reaching the end, so a character is never split.
size_t utf8_offset(const char* s, size_t len, size_t index);
// Byte offset after stepping over `count` characters from byte `from`,
// and the number of characters actually stepped (less than count when the
// end came first).
size_t utf8_advance(const char* s, size_t len, size_t from, size_t count, size_t* stepped);
// Number of characters in s[0, len).
size_t utf8_count(const char* s, size_t len);
// Number of characters from byte `from` up to byte `to` (to <= len): the
// steps needed to reach or pass `to`.
size_t utf8_count_between(const char* s, size_t len, size_t from, size_t to);
// Writes code point cp (at most 0x10FFFF) as 1 to 4 bytes; returns the count.
size_t utf8_encode(uint32_t cp, char* out);

// Longest string a built-in makes: results of 2^31 bytes or more fail with
// 1400 before anything is allocated, so the 32-bit length never wraps.
constexpr uint64_t STRING_BYTES_LIMIT = 0x7FFFFFFFu;
[[noreturn]] void string_too_long();
// A new string value (nibble 0) of len bytes whose text the caller fills
// through *text (the terminating NUL is written here). Fails with 1400 for
// len of 2^31 or more.
ValueWord string_with_space(uint64_t len, char** text);

// First occurrence of needle (nlen bytes, nlen > 0) in hay[from, hlen)
// that begins at a character start (`from` must be one), as a byte offset,
// or -1. Bytes after a NUL take part. When chars is not null it receives
// the number of characters from `from` to the occurrence.
int64_t text_find(const char* hay, size_t hlen, size_t from, const char* needle, size_t nlen,
                  size_t* chars = nullptr);

}  // namespace velt
