// Method-name tables of the built-in receivers and their resolution.
//
// A table is a fixed-width text of blank-padded names. A called name
// selects the entry in which it first occurs as a substring (offset divided
// by the width), so a part of a name selects the entry that holds it. The
// entry's argument-count pair is checked before its routine is called.
#include <cstring>

#include "driver/errors.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "values/names.h"

namespace velt {

namespace {

// Entry makers: exact count, range, open range (no upper bound), refused.
constexpr MethodEntry X(int n) { return {static_cast<int8_t>(n), static_cast<int8_t>(n), true, true, nullptr}; }
constexpr MethodEntry R(int lo, int hi) {
    return {static_cast<int8_t>(lo), static_cast<int8_t>(hi), false, true, nullptr};
}
constexpr MethodEntry M(int lo) { return {static_cast<int8_t>(lo), -1, false, true, nullptr}; }
constexpr MethodEntry NO = {0, 0, true, false, nullptr};

const char COUNT_MSG[] = "引数の個数不正";

MethodEntry math_entries[] = {X(1), X(1), X(1), X(1), X(1), X(0), X(2), M(1), M(1)};
MethodEntry object_entries[] = {X(1)};
MethodEntry number_entries[] = {R(1, 2), X(1), X(1)};
MethodEntry date_static_entries[] = {X(0), X(1), R(1, 7), NO};
MethodEntry string_static_entries[] = {M(1), M(1), NO};
MethodEntry string_entries[] = {
    R(0, 1), R(0, 1), M(1),    R(1, 2), R(1, 2), X(0),    X(0), R(1, 2), R(1, 2), R(0, 2),
    R(1, 2), X(2),    X(2),    R(1, 2), R(1, 3), R(1, 2), R(1, 2), X(1), R(1, 2), X(0),
    X(0),    X(0),    R(1, 2), X(1),    R(0, 1), X(1),    X(0),    X(0)};
MethodEntry date_entries[] = {
    X(0), X(0), X(0),    X(0),    X(0), X(0),    X(0),    X(0),    X(0), X(0),  // 0-9 getters
    X(1), R(1, 3), R(1, 4), X(1), R(1, 3), R(1, 2), R(1, 2), X(1),            // 10-17 setters
    X(0), X(0), X(0),    X(0),    X(0), X(0),    X(0),    X(0),               // 18-25 UTC getters
    NO,   NO,   NO,      NO,      NO,   NO,      NO,                          // 26-32 blank
    X(0), X(0), X(0),    X(0),    X(0), X(0)};                                // 33-38 text forms
MethodEntry regexp_entries[] = {X(1), X(1), X(0)};
MethodEntry array_entries[] = {M(1),    X(0),    X(0), R(1, 2), R(1, 2), R(0, 1),
                               X(0),    M(1),    R(0, 2), X(0), X(0),    M(1),
                               R(1, 3), R(1, 3), R(1, 2), R(0, 1), M(1)};
MethodEntry sparse_entries[] = {M(1), X(0), NO, R(1, 2), R(1, 2), R(0, 1), X(0), M(1), NO,
                                X(0), X(0), M(1), NO,   NO,      NO,      NO,      NO};
MethodEntry hash_entries[] = {X(0), X(0), X(0), X(1), X(1), X(1), X(2), R(1, 2)};

constexpr int count_of(const MethodEntry* b, const MethodEntry* e) { return static_cast<int>(e - b); }
#define ENTRIES(a) count_of(a, a + sizeof(a) / sizeof(a[0])), a

const char ARRAY_NAMES[] =
    "concat      keys        reverse     indexOf     lastIndexOf join        pop         push        "
    "slice       toString    shift       unshift     copyWithin  fill        includes    sort        "
    "splice      ";

const char DATE_NAMES[] =
    "getDate             getDay              getFullYear         getHours            "
    "getMilliseconds     getMinutes          getMonth            getSeconds          "
    "getTime             getTimezoneOffset   setDate             setFullYear         "
    "setHours            setMilliseconds     setMinutes          setMonth            "
    "setSeconds          setTime             getUTCDate          getUTCDay           "
    "getUTCFullYear      getUTCHours         getUTCMilliseconds  getUTCMinutes       "
    "getUTCMonth         getUTCSeconds                                               "
    "                                                                                "
    "                    toDateString        toISOString         toString            "
    "toTimeString        toJSON              toUTCString         ";

const char STRING_NAMES[] =
    "charAt        charCodeAt    concat        indexOf       lastIndexOf   toUpperCase   "
    "toLowerCase   substr        substring     split         slice         replace       "
    "replaceAll    includes      localeCompare padEnd        padStart      repeat        "
    "startsWith    trim          trimStart     trimEnd       endsWith      search        "
    "str_match     str_matchAll  trimLeft      trimRight     ";

static_assert(sizeof(ARRAY_NAMES) - 1 == 12 * 17, "Array table: 17 fields of 12");
static_assert(sizeof(DATE_NAMES) - 1 == 20 * 39, "Date table: 39 fields of 20");
static_assert(sizeof(STRING_NAMES) - 1 == 14 * 28, "String table: 28 fields of 14");
static_assert(sizeof(date_entries) / sizeof(date_entries[0]) == 39, "Date entries");
static_assert(sizeof(string_entries) / sizeof(string_entries[0]) == 28, "String entries");
static_assert(sizeof(array_entries) / sizeof(array_entries[0]) == 17, "Array entries");
static_assert(sizeof(sparse_entries) / sizeof(sparse_entries[0]) == 17, "sparse entries");

}  // namespace

MethodTable g_math_methods = {"abs     ceil    floor   trunc   round   random  pow     min     max     ", 8,
                              ENTRIES(math_entries), 2115, "Mathのメソッド名不正", 2120, 2120, COUNT_MSG, 2115};
MethodTable g_object_static_methods = {"keys          ", 14, ENTRIES(object_entries), 2100, "OBJECTのメソッド名不正",
                                       2105, 2110, COUNT_MSG, 2100};
MethodTable g_number_static_methods = {"parseInt    parseFloat  isInteger   ", 12, ENTRIES(number_entries), 2125,
                                       "NUMBERのメソッド名不正", 2130, 2135, COUNT_MSG, 2125};
MethodTable g_date_static_methods = {"now     parse   UTC             ", 8, ENTRIES(date_static_entries), 2085,
                                     "DATEのメソッド名不正", 2090, 2093, COUNT_MSG, 2085};
MethodTable g_string_static_methods = {"fromCharCode  fromCodePoint               ", 14,
                                       ENTRIES(string_static_entries), 2095, "STRINGのメソッド名不正", 2097, 2098,
                                       COUNT_MSG, 2095};
MethodTable g_string_methods = {STRING_NAMES, 14, ENTRIES(string_entries), 2820, "Stringのメソッド名不正",
                                2825, 2830, COUNT_MSG, 2820};
MethodTable g_date_methods = {DATE_NAMES, 20, ENTRIES(date_entries), 5575, "DATEのメソッド名不正", 5580, 5585,
                              "DATEのメソッドで引数不正", 5575};
MethodTable g_regexp_methods = {"exec      test      toString  ", 10, ENTRIES(regexp_entries), 5070,
                                "正規表現のメソッド名不正", 5075, 5075, COUNT_MSG, 5070};
MethodTable g_array_methods = {ARRAY_NAMES, 12, ENTRIES(array_entries), 2570, "Arrayのメソッド名不正", 2575, 2580,
                               COUNT_MSG, 2570};
MethodTable g_sparse_methods = {ARRAY_NAMES, 12, ENTRIES(sparse_entries), 2552, "Arrayのメソッド名不正", 2555, 2560,
                                COUNT_MSG, 2565};
MethodTable g_hash_methods = {"keys    toStringclear   delete  get     has     set     forEach ", 8,
                              ENTRIES(hash_entries), 2347, "HASHのメソッド名不正", 2450, 2455, COUNT_MSG, 2347};

int method_lookup(const MethodTable& t, const char* name, uint32_t len) {
    if (len == 0) return -1;
    size_t total = static_cast<size_t>(t.width) * static_cast<size_t>(t.count);
    if (len > total) return -1;
    const char* text = t.names;
    for (size_t off = 0; off + len <= total; ++off) {
        if (text[off] == name[0] && std::memcmp(text + off, name, len) == 0) {
            return static_cast<int>(off / static_cast<size_t>(t.width));
        }
    }
    return -1;
}

bool method_install(MethodTable& t, const char* name, MethodRoutine routine) {
    size_t len = std::strlen(name);
    if (len == 0 || len > static_cast<size_t>(t.width)) return false;
    for (int i = 0; i < t.count; ++i) {
        const char* field = t.names + static_cast<size_t>(i) * static_cast<size_t>(t.width);
        if (std::memcmp(field, name, len) != 0) continue;
        if (len < static_cast<size_t>(t.width) && field[len] != ' ') continue;
        t.entries[i].routine = routine;
        return true;
    }
    return false;
}

ValueWord method_call(const MethodTable& t, uint32_t name_index, ValueWord receiver, ValueWord* args, int argc) {
    const char* name = name_text(name_index);
    int i = method_lookup(t, name, name_length(name_index));
    if (i < 0) report_error(t.unknown_code, "%s", t.unknown_msg);
    const MethodEntry& e = t.entries[i];
    if (!e.supported) report_error(t.refused_code, "%s", t.unknown_msg);
    if (e.exact ? argc != e.min : argc < e.min) report_error(t.few_code, "%s", t.count_msg);
    if (e.max >= 0 && argc > e.max) report_error(t.many_code, "%s", t.count_msg);
    if (!e.routine) not_available(t.unknown_code, name);
    return e.routine(receiver, args, argc);
}

}  // namespace velt
