// SQL rewriting and bind texts of the database statements.
//
// Text between placeholders is copied with every run of blanks, tabs, CR
// and LF reduced to one blank, outside quoted literals only: a literal
// reaches the database as written. A `--` comment outside literals is
// dropped up to its line end first, so it never swallows the SQL of the
// next line.
#include "db/sql.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "driver/errors.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

namespace {

constexpr size_t NAME_MAX = 200;
const char SQL_ERROR[] = "SQL文不正(%s)";

inline bool is_sql_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool is_name_start(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
inline bool is_name_part(unsigned char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

// The closing brace of an expression placeholder (nested braces and
// quoted strings skipped), or null.
const char* find_brace(const char* p, const char* end) {
    int depth = 0;
    char quote = 0;
    for (; p < end; ++p) {
        char c = *p;
        if (quote) {
            if (c == '\\' && p + 1 < end) ++p;
            else if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"' || c == '`') quote = c;
        else if (c == '{') ++depth;
        else if (c == '}') {
            if (depth == 0) return p;
            --depth;
        }
    }
    return nullptr;
}

// Parses the text of an expression placeholder into one retained node.
ValueWord parse_expression(const char* b, size_t n) {
    TextBuf buf;
    textbuf_append(buf, "(", 1);
    textbuf_append(buf, b, n);
    textbuf_append(buf, ")", 1);
    uint32_t module = g_run.current_module;
    uint32_t line = g_run.current_line;
    uint32_t column = g_run.current_column;
    uint32_t parse_module = g_parse.module;
    LexState lex = g_lex;
    g_parse.module = module;
    lex_begin(buf.data);
    ValueWord args[2] = {0, 0};
    int count = 0;
    read_call_arguments(buf.data, args, 2, &count, buf.data);
    g_parse.module = parse_module;
    g_lex = lex;
    g_run.current_module = module;
    g_run.current_line = line;
    g_run.current_column = column;
    if (count != 1) report_error(1350, SQL_ERROR, "バインドの記述不正");
    return retain(args[0]);
}

void add_placeholder(PreparedSql& out, uint8_t kind, uint32_t value, char marker, bool numbered) {
    if (out.count >= SQL_PLACEHOLDERS_MAX) {
        if (kind == PH_EXPRESSION) value_release(value);
        report_error(1350, SQL_ERROR, "バインド数不正。256以上");
    }
    out.items[out.count++] = {kind, value};
    if (kind == PH_POSITION) ++out.positions;
    textbuf_append(out.text, &marker, 1);
    if (numbered) {
        char num[12];
        char* e = std::to_chars(num, num + sizeof num, out.count).ptr;
        textbuf_append(out.text, num, static_cast<size_t>(e - num));
    }
}

// Appends the text form of a real that reads back as the same double.
size_t real_bind_text(double d, char* out, size_t room) {
    std::to_chars_result r = std::to_chars(out, out + room - 3, d);
    size_t n = static_cast<size_t>(r.ptr - out);
    bool plain_digits = true;
    for (size_t i = 0; i < n; ++i) {
        char c = out[i];
        if (!(c == '-' || (c >= '0' && c <= '9'))) plain_digits = false;
    }
    if (plain_digits) {
        out[n++] = '.';
        out[n++] = '0';
    }
    return n;
}

}  // namespace

PreparedSql::~PreparedSql() {
    for (uint32_t i = 0; i < count; ++i) {
        if (items[i].kind == PH_EXPRESSION) value_release(items[i].value);
    }
}

void sql_prepare(const char* sql, size_t len, char marker, bool numbered, PreparedSql& out) {
    const char* p = sql;
    const char* end = sql + len;
    bool blank_pending = false;
    while (p < end) {
        char c = *p;
        if (is_sql_blank(c)) {
            blank_pending = true;
            ++p;
            continue;
        }
        if (c == '-' && p + 1 < end && p[1] == '-') {
            // A comment ends at its line end, which separates like a blank.
            while (p < end && *p != '\n') ++p;
            blank_pending = true;
            continue;
        }
        if (blank_pending) {
            textbuf_append(out.text, " ", 1);
            blank_pending = false;
        }
        if (c == '\'' || c == '"') {
            // A quoted literal or identifier, copied as written ('' and ""
            // inside close and reopen it).
            const char* q = p + 1;
            while (q < end && *q != c) ++q;
            if (q < end) ++q;
            textbuf_append(out.text, p, static_cast<size_t>(q - p));
            p = q;
            continue;
        }
        if (c == '\\' && p + 1 < end && p[1] == ':') {
            // An escaped colon stands for itself.
            textbuf_append(out.text, ":", 1);
            p += 2;
            continue;
        }
        if (c != ':') {
            textbuf_append(out.text, p, 1);
            ++p;
            continue;
        }
        const char* q = p + 1;
        if (q < end && *q == ':') {
            textbuf_append(out.text, "::", 2);
            p = q + 1;
            continue;
        }
        if (q < end && is_name_start(static_cast<unsigned char>(*q))) {
            const char* b = q;
            while (q < end && is_name_part(static_cast<unsigned char>(*q))) ++q;
            if (static_cast<size_t>(q - b) > NAME_MAX) report_parse_error(1005, "関数・変数名の長さ不正");
            add_placeholder(out, PH_NAME, intern(b, static_cast<size_t>(q - b)), marker, numbered);
            p = q;
            continue;
        }
        if (q < end && *q == '{') {
            const char* close = find_brace(q + 1, end);
            if (close == nullptr)
                report_parse_error(1130, "ステートメント不正 ('%.1s'なし) %.1s%s", "}", "{",
                                   error_excerpt(q + 1, EXCERPT_STATEMENT));
            ValueWord node = parse_expression(q + 1, static_cast<size_t>(close - q - 1));
            add_placeholder(out, PH_EXPRESSION, node, marker, numbered);
            p = close + 1;
            continue;
        }
        if (q < end && *q >= '0' && *q <= '9') {
            uint32_t n = 0;
            while (q < end && *q >= '0' && *q <= '9') {
                if (n < 100000) n = n * 10 + static_cast<uint32_t>(*q - '0');
                ++q;
            }
            if (n < 1 || n > 255) report_error(1350, SQL_ERROR, "バインド番号不正。1～256でない");
            add_placeholder(out, PH_POSITION, n, marker, numbered);
            p = q;
            continue;
        }
        report_error(1350, SQL_ERROR, "バインドの記述不正");
    }
    if (out.text.data == nullptr) textbuf_append(out.text, "", 0);
}

bool sql_is_select(const char* sql, size_t len) {
    const char* p = sql;
    const char* end = sql + len;
    while (p < end && is_sql_blank(*p)) ++p;
    const char* b = p;
    while (p < end && p - b < 200 && !is_sql_blank(*p) && *p != '(') ++p;
    if (p - b != 6) return false;
    static const char word[] = "select";
    for (int i = 0; i < 6; ++i) {
        char c = b[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != word[i]) return false;
    }
    return true;
}

void bind_add_value(BindSet& set, ValueWord v) {
    if (set.count >= SQL_PLACEHOLDERS_MAX * 2) report_error(1350, SQL_ERROR, "バインド数不正。256以上");
    uint32_t i = set.count;
    set.offsets[i] = static_cast<uint32_t>(set.arena.len);
    set.lengths[i] = -1;
    uint32_t tag = word_tag(v);
    char text[64];
    size_t n = 0;
    switch (tag) {
    case TAG_NAME:
        if (v == W_UNDEFINED || v == W_NULL) break;
        if (v > W_NAN) report_error(1355, "バインドするデータ型不正");
        textbuf_append(set.arena, name_text(word_payload(v)), name_length(word_payload(v)));
        set.lengths[i] = static_cast<int32_t>(name_length(word_payload(v)));
        break;
    case TAG_INT:
        n = format_int(text, cell_int(dw_cell(v)));
        textbuf_append(set.arena, text, n);
        set.lengths[i] = static_cast<int32_t>(n);
        break;
    case TAG_FLOAT:
        n = real_bind_text(cell_float(dw_cell(v)), text, sizeof text);
        textbuf_append(set.arena, text, n);
        set.lengths[i] = static_cast<int32_t>(n);
        break;
    case TAG_STRING:
        textbuf_append(set.arena, string_text(v), string_length(v));
        set.lengths[i] = static_cast<int32_t>(string_length(v));
        break;
    case TAG_DATE: {
        const Cell* c = dw_cell(v);
        int month = (c->b1 & 0xF) + 1;
        int hour = c->b2;
        int day = c->b3 & 0x1F;
        int minute = static_cast<int>(c->d4 & 0xFF);
        int second = static_cast<int>((c->d4 >> 8) & 0xFF);
        int year = static_cast<int16_t>(c->d4 >> 16);
        int ms = static_cast<int>(c->d8 & 0x3FF);
        int k = ms ? std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour,
                                   minute, second, ms)
                   : std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                                   minute, second);
        textbuf_append(set.arena, text, static_cast<size_t>(k));
        set.lengths[i] = k;
        break;
    }
    default:
        report_error(1355, "バインドするデータ型不正");
    }
    if (set.lengths[i] == 0) set.lengths[i] = -1;
    set.count = i + 1;
}

const BindText* bind_texts(BindSet& set) {
    for (uint32_t i = 0; i < set.count; ++i) {
        if (set.lengths[i] < 0) {
            set.texts[i] = {nullptr, 0};
        } else {
            set.texts[i] = {set.arena.data + set.offsets[i], static_cast<uint32_t>(set.lengths[i])};
        }
    }
    return set.texts;
}

void bind_named(const PreparedSql& ps, BindSet& set, uint32_t* positions) {
    uint32_t k = 0;
    for (uint32_t i = 0; i < ps.count; ++i) {
        const Placeholder& ph = ps.items[i];
        if (ph.kind == PH_POSITION) continue;
        if (ph.kind == PH_NAME) {
            ValueWord v = lookup_name(name_word(ph.value));
            clear_location();
            bind_add_value(set, v);
        } else {
            ValueWord v = evaluate(ph.value);
            try {
                bind_add_value(set, v);
            } catch (...) {
                release_temp(v);
                throw;
            }
            release_temp(v);
        }
        positions[k++] = i + 1;
    }
}

}  // namespace velt
