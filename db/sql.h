// SQL rewriting: placeholders of script variables, expressions and bind
// positions turned into the bind markers of a database kind, and the bind
// texts of script values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "db/client.h"
#include "values/text.h"
#include "values/word.h"

namespace velt {

constexpr uint32_t SQL_PLACEHOLDERS_MAX = 256;

enum PlaceholderKind : uint8_t { PH_NAME = 1, PH_EXPRESSION = 2, PH_POSITION = 3 };

struct Placeholder {
    uint8_t kind;
    uint32_t value;  // name index, expression node word, or position 1-255
};

// A statement rewritten for one connection. Expression nodes are released
// when the statement goes.
struct PreparedSql {
    TextBuf text;
    Placeholder items[SQL_PLACEHOLDERS_MAX];
    uint32_t count = 0;
    uint32_t positions = 0;  // placeholders of kind PH_POSITION
    PreparedSql() = default;
    PreparedSql(const PreparedSql&) = delete;
    PreparedSql& operator=(const PreparedSql&) = delete;
    ~PreparedSql();
};

// Rewrites `sql`: every placeholder becomes `marker` (followed by its
// sequence number when `numbered`); blanks collapse to one outside quoted
// literals, `--` comments outside them are dropped. Errors 1350, parse
// errors 1130, 1135 and 1005.
void sql_prepare(const char* sql, size_t len, char marker, bool numbered, PreparedSql& out);

// Bind texts kept in one arena; texts are read back through bind_texts()
// once every text is added.
struct BindSet {
    TextBuf arena;
    uint32_t offsets[SQL_PLACEHOLDERS_MAX * 2];
    int32_t lengths[SQL_PLACEHOLDERS_MAX * 2];  // -1: NULL
    uint32_t count = 0;
    BindText texts[SQL_PLACEHOLDERS_MAX * 2];
};
// Appends the bind text of a value (error 1355 for kinds that cannot be
// bound). undefined and null bind as NULL, so does the empty text.
void bind_add_value(BindSet& set, ValueWord v);
// Pointers to the texts (valid until the set changes).
const BindText* bind_texts(BindSet& set);

// Evaluates the name and expression placeholders in text order and adds
// their bind texts; positions[i] gets the bind position of each.
void bind_named(const PreparedSql& ps, BindSet& set, uint32_t* positions);

// Whether the first word of the text is "select" (case ignored).
bool sql_is_select(const char* sql, size_t len);

}  // namespace velt
