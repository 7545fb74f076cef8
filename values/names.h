// The name table: interned identifiers. The first 53 names are made at
// start-up in a fixed order so that their indexes are constants.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt {

enum PredefinedName : uint32_t {
    N_UNDEFINED = 0, N_TRUE, N_FALSE, N_NULL, N_NAN, N_THIS, N_MATH, N_COLUMN, N_VALUE,
    N_CONSOLE, N_OBJECT, N_FUNCTION, N_CONNECTION, N_NAME, N_MESSAGE, N_NUMBER, N_INTEGER,
    N_FLOAT, N_DATE, N_ERROR, N_REGEXP, N_STRING, N_ARRAY, N_HASH, N_EXCEPTION, N_TYPEOF,
    N_INSTANCEOF, N_INDEX, N_INDICES, N_INPUT, N_GROUPS, N_LENGTH, N_NO_AUTHORIZATION,
    N_COUNT, N_SUM, N_MAX, N_MIN, N_AVERAGE, N_KEY, N_GROUP, N_TOTAL, N_TOTAL_COUNT,
    N_SET, N_INC, N_DMIN, N_DMAX, N_MUL, N_RENAME, N_UNSET, N_COLM, N_VAL, N_KEYM, N_NEW,
    N_PREDEFINED_COUNT  // 53
};

// The 24-bit name hash of the first `len` bytes (stopping at a NUL).
uint32_t name_hash(const char* text, size_t len);
// Returned by intern for a name longer than 255 bytes (callers refuse such
// names first); name_text gives "" and name_length 0 for it.
constexpr uint32_t NAME_INVALID = 0xFFFFFFFFu;
// Finds or adds a name (len at most 255); returns its index. Seeds the
// predefined names first when the table is empty.
uint32_t intern(const char* text, size_t len, uint32_t hash);
inline uint32_t intern(const char* text, size_t len) { return intern(text, len, name_hash(text, len)); }
// Seeds the table with the predefined names (no-op when already seeded).
void names_init();
// NUL-terminated text and length of a name index ("" and 0 for an index
// that is not in the table). Text pointers stay valid until the table is
// dropped.
const char* name_text(uint32_t index);
uint32_t name_length(uint32_t index);
uint32_t name_count();

// The raw tables, for the program image writer: `count` 12-byte entries
// (byte 1 length, bytes 4-7 key, bytes 8-11 pool offset), `count` (key,
// index) pairs sorted by key, and the text pool.
struct NameTableView {
    const uint8_t* entries;
    const uint32_t* key_pairs;
    uint32_t count;
    const char* pool;
    uint32_t pool_len;
};
NameTableView names_view();
// Replaces the whole table by an image's entries and pool. The entries are
// checked (length at most 255, key matching length and text, text inside
// the pool and NUL-terminated) and the key index is rebuilt; returns false,
// leaving the table as it was, when they do not hold.
bool names_load(const uint8_t* entries, uint32_t count, const char* pool, uint32_t pool_len);

// Drops the table (unit tests only).
void names_reset_for_tests();

}  // namespace velt
