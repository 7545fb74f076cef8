#include "parser/lexer.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "driver/run.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

LexState g_lex = {nullptr, nullptr};

void lex_begin(const char* text) {
    g_run.current_line = 1;
    g_lex.line_start = text;
    g_lex.text_start = text;
}

void lex_newline(const char* lf) {
    ++g_run.current_line;
    g_lex.line_start = lf;
}

const char* skip_whitespace(const char* p) {
    for (;;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') {
            lex_newline(p);
        } else if (c != ' ' && c != '\t' && c != '\r') {
            return p;
        }
        ++p;
    }
}

char* skip_whitespace(char* p) { return const_cast<char*>(skip_whitespace(static_cast<const char*>(p))); }

const char* skip_blanks_peek(const char* p) {
    while (is_space(static_cast<unsigned char>(*p))) ++p;
    return p;
}

uint32_t source_position(const char* p) {
    uint32_t column = 0;
    if (g_lex.line_start != nullptr && p >= g_lex.line_start) {
        column = static_cast<uint32_t>(static_cast<size_t>(p - g_lex.line_start) & 0x7FFFu);
    }
    return make_pos(g_run.current_line, column);
}

// ---- Quote-aware scanning ----

namespace {

inline bool is_quote(char c) { return c == '"' || c == '\'' || c == '`'; }

inline bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           (static_cast<unsigned char>(c) >= 0x80);
}

// Whether the word ending just before `end` is one after which an operand
// follows (return x, typeof x, ...).
bool operand_keyword_before(const char* text, const char* end) {
    static const char* const words[] = {"return", "typeof", "case", "throw", "in", "of", "delete", "void", "new"};
    const char* b = end;
    while (b > text && is_name_char(b[-1])) --b;
    size_t n = static_cast<size_t>(end - b);
    for (const char* w : words) {
        if (std::strlen(w) == n && std::memcmp(w, b, n) == 0) return true;
    }
    return false;
}

}  // namespace

const char* skip_regexp_literal(const char* text, const char* p) {
    if (*p != '/' || p[1] == '/' || p[1] == '*' || p[1] == '\0') return nullptr;
    const char* b = p;
    while (b > text && (b[-1] == ' ' || b[-1] == '\t' || b[-1] == '\n' || b[-1] == '\r')) --b;
    if (b > text) {
        char c = b[-1];
        if (c == ')' || c == ']' || c == '}' || is_quote(c)) return nullptr;
        if (is_name_char(c) && !operand_keyword_before(text, b)) return nullptr;
    }
    const char* q = p + 1;
    while (*q != '\0' && *q != '/' && *q != '\n') {
        if (*q == '\\' && q[1] != '\0' && q[1] != '\n') ++q;
        ++q;
    }
    if (*q != '/') return nullptr;
    ++q;
    while ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z')) ++q;
    return q;
}

const char* skip_string_literal(const char* p, char quote) {
    for (;;) {
        char c = *p;
        if (c == '\0') return nullptr;
        if (c == '\\') {
            if (p[1] == '\0') return nullptr;
            p += 2;
            continue;
        }
        ++p;
        if (c == quote) return p;
    }
}

bool in_string_literal(const char* from, const char* at, char* quote) {
    const char* p = from;
    while (p < at && *p != '\0') {
        if (is_quote(*p)) {
            const char* close = skip_string_literal(p + 1, *p);
            // Inside when the closing quote is missing or lies at or after `at`.
            if (close == nullptr || close - 1 >= at) {
                if (quote) *quote = *p;
                return true;
            }
            p = close;
            continue;
        }
        ++p;
    }
    return false;
}

char* find_unquoted(char* text, char ch) {
    char* p = text;
    while (*p != '\0') {
        if (*p == ch && (p == text || p[-1] != '\\')) return p;
        if (*p == '/') {
            const char* re = skip_regexp_literal(text, p);
            if (re != nullptr) {
                p = const_cast<char*>(re);
                continue;
            }
        }
        if (is_quote(*p)) {
            const char* close = skip_string_literal(p + 1, *p);
            if (close == nullptr) return nullptr;
            p = const_cast<char*>(close);
            continue;
        }
        ++p;
    }
    return nullptr;
}

char* find_closing(char* text, char close, char open) {
    int depth = 0;
    char* p = text;
    while (*p != '\0') {
        char c = *p;
        if (is_quote(c)) {
            const char* end = skip_string_literal(p + 1, c);
            if (end == nullptr) return nullptr;
            p = const_cast<char*>(end);
            continue;
        }
        if (c == '/') {
            const char* re = skip_regexp_literal(text, p);
            if (re != nullptr) {
                p = const_cast<char*>(re);
                continue;
            }
        }
        if (c == open) {
            ++depth;
        } else if (c == close) {
            if (depth == 0) return p;
            --depth;
        }
        ++p;
    }
    return nullptr;
}

// ---- Comment removal ----

size_t remove_comments(char* text) {
    char* p = text;
    while (*p != '\0') {
        char c = *p;
        if (is_quote(c)) {
            const char* close = skip_string_literal(p + 1, c);
            // An unclosed literal stops the pass; the parser reports it.
            if (close == nullptr) break;
            p = const_cast<char*>(close);
            continue;
        }
        if (c == '/') {
            // A RegExp literal at operand position: its `//`, `/*` and
            // quotes are pattern text.
            const char* re = skip_regexp_literal(text, p);
            if (re != nullptr) {
                p = const_cast<char*>(re);
                continue;
            }
        }
        if (c == '/' && p[1] == '*') {
            char* end = std::strstr(p + 2, "*/");
            if (end == nullptr) {
                uint32_t line = 1;
                for (const char* q = text; q < p; ++q) {
                    if (*q == '\n') ++line;
                }
                g_run.current_line = line;
                report_parse_error(1580, "コメント不正");
            }
            for (char* q = p; q < end + 2; ++q) {
                if (*q != '\n') *q = ' ';
            }
            p = end + 2;
            continue;
        }
        if (c == '/' && p[1] == '/') {
            char* q = p;
            while (*q != '\0' && *q != '\n') *q++ = ' ';
            if (*q == '\0') {
                *p = '\0';
                return static_cast<size_t>(p - text);
            }
            p = q;
            continue;
        }
        ++p;
    }
    return std::strlen(text);
}

// ---- String literals ----

namespace {

// The literal buffer: starts at 4 KB and grows by 4 KB.
char* g_lit_buf = nullptr;
size_t g_lit_cap = 0;

void lit_put(size_t& n, char c) {
    if (n + 1 >= g_lit_cap) {
        size_t cap = g_lit_cap + 4096;
        char* grown = static_cast<char*>(std::realloc(g_lit_buf, cap));
        if (grown == nullptr) report_error(1400, "メモリ領域を取得できません");
        g_lit_buf = grown;
        g_lit_cap = cap;
    }
    g_lit_buf[n++] = c;
}

}  // namespace

char* read_string_literal(char* p, char quote, ValueWord* out) {
    size_t n = 0;
    for (;;) {
        char c = *p;
        if (c == '\0') report_parse_error(1010, "JSON文字列不正");
        if (c == quote) {
            ++p;
            break;
        }
        if (c == '\r') {
            ++p;
            continue;
        }
        if (c == '\n') {
            lex_newline(p);
            lit_put(n, c);
            ++p;
            continue;
        }
        if (c == '\\') {
            char e = p[1];
            if (e == '\0') report_parse_error(1010, "JSON文字列不正");
            if (e == '\n') lex_newline(p + 1);
            if (quote == '`') {
                // Only the backquote escape is resolved; other pairs stay.
                if (e != '`') lit_put(n, '\\');
                if (e != '\r') lit_put(n, e);
            } else if (e == 'n') {
                lit_put(n, '\n');
            } else if (e == 'r') {
                lit_put(n, '\r');
            } else if (e == 't') {
                lit_put(n, '\t');
            } else {
                lit_put(n, e);
            }
            p += 2;
            continue;
        }
        lit_put(n, c);
        ++p;
    }
    ValueWord w = make_string(n > 0 ? g_lit_buf : "", n);
    if (quote == '`') set_str_mark(dw_cell(w), -1);
    *out = w;
    return p;
}

// ---- Identifiers ----

char* read_identifier(char* p, uint32_t* name) {
    uint32_t key = 0;
    size_t i = 0;
    // The scan stops after 204 bytes; anything beyond 200 is too long.
    while (i < IDENT_MAX + 4 && is_ident_part(static_cast<unsigned char>(p[i]))) {
        key = (key + static_cast<uint32_t>((i + 1) % 17) * static_cast<unsigned char>(p[i])) & 0xFFFFFFu;
        ++i;
    }
    if (i > IDENT_MAX) report_parse_error(1005, "関数・変数名の長さ不正");
    *name = intern(p, i, key);
    return p + i;
}

// ---- Reserved words ----

const KeywordTable g_keyword_tables[26] = {
    /* a */ {nullptr, 0, 0, 0},
    /* b */ {nullptr, 0, 0, 0},
    /* c */ {"closeDb   const     continue  ", 10, 8, 17},
    /* d */ {"do                  decodeURI           decodeURIComponent  ", 20, 18, 20},
    /* e */ {"eval                execute             encodeURI           encodeURIComponent  ", 20, 18, 23},
    /* f */ {"for       function  ", 10, 8, 27},
    /* g */ {nullptr, 0, 0, 0},
    /* h */ {nullptr, 0, 0, 0},
    /* i */ {nullptr, 0, 0, 0},
    /* j */ {nullptr, 0, 0, 0},
    /* k */ {nullptr, 0, 0, 0},
    /* l */ {nullptr, 0, 0, 0},
    /* m */ {"mongo_find              mongo_count             mongo_insert            "
             "mongo_update_one        mongo_update_many       mongo_delete_one        "
             "mongo_delete_many       mongo_drop_collection   mongo_transaction       "
             "mongo_rename_collection mongo_get_collection    mongo_collection_name   "
             "mongo_use_db            mongo_current_db        mongo_drop_db           "
             "mongo_collection_names  mongo_get_database      mongo_rollback          "
             "mongo_commit            mongo_find_hash         mongo_aggregate         "
             "mongo_create_collection mongo_exists_collection mongoc_read_command     "
             "mongoc_write_command    ",
             24, 23, 43},
    /* n */ {nullptr, 0, 0, 0},
    /* o */ {nullptr, 0, 0, 0},
    /* p */ {"parseInt    parseFloat  ", 12, 10, 40},
    /* q */ {nullptr, 0, 0, 0},
    /* r */ {"return            record_map        record_hash       redis_command     "
             "redis_aggregate   redis_keys        redis_get         redis_execute     "
             "redis_delete      redis_lremove     redis_linsert     ",
             18, 15, 3},
    /* s */ {"select            selectHash        selectInto        selectToFront     "
             "selectHashToFront sendToFront       switch            selectExists      "
             "sql_aggregate     ",
             18, 17, 29},
    /* t */ {"throw   try     ", 8, 5, 38},
    /* u */ {nullptr, 0, 0, 0},
    /* v */ {nullptr, 0, 0, 0},
    /* w */ {nullptr, 0, 0, 0},
    /* x */ {nullptr, 0, 0, 0},
    /* y */ {nullptr, 0, 0, 0},
    /* z */ {nullptr, 0, 0, 0},
};

namespace {

struct DirectWord {
    char first;
    const char* text;
    int kind;
};
const DirectWord g_direct_words[] = {
    {'b', "break", KW_BREAK},   {'i', "if", KW_IF},         {'l', "let", KW_LET},
    {'v', "var", KW_VAR},       {'w', "while", KW_WHILE},   {'o', "openDb", KW_OPEN_DB},
    {'a', "alertToFront", KW_ALERT_TO_FRONT},
};

}  // namespace

int recognize_keyword(const char*& p) {
    unsigned char first = static_cast<unsigned char>(*p);
    for (const DirectWord& d : g_direct_words) {
        if (d.first != static_cast<char>(first)) continue;
        size_t n = std::strlen(d.text);
        if (std::strncmp(p, d.text, n) == 0 && is_word_boundary(static_cast<unsigned char>(p[n]))) {
            p += n;
            return d.kind;
        }
        return KW_NONE;
    }
    if (first < 'a' || first > 'z') return KW_NONE;
    const KeywordTable& t = g_keyword_tables[first - 'a'];
    if (t.entries == nullptr) return KW_NONE;
    int run = 0;
    while (run < t.width && (std::isalpha(static_cast<unsigned char>(p[run])) || p[run] == '_')) ++run;
    if (run == 0 || run > t.longest) return KW_NONE;
    if (!is_word_boundary(static_cast<unsigned char>(p[run]))) return KW_NONE;
    // The first occurrence of the run in the table string decides.
    size_t table_len = std::strlen(t.entries);
    const char* hit = nullptr;
    for (size_t i = 0; i + static_cast<size_t>(run) <= table_len; ++i) {
        if (std::memcmp(t.entries + i, p, static_cast<size_t>(run)) == 0) {
            hit = t.entries + i;
            break;
        }
    }
    if (hit == nullptr) return KW_NONE;
    size_t offset = static_cast<size_t>(hit - t.entries);
    if (offset % static_cast<size_t>(t.width) != 0 || hit[run] != ' ') return KW_NONE;
    p += run;
    return t.first_kind + static_cast<int>(offset / static_cast<size_t>(t.width));
}

int recognize_keyword(char*& p) {
    const char* q = p;
    int kind = recognize_keyword(q);
    p = const_cast<char*>(q);
    return kind;
}

const char* keyword_text(int kind) {
    static char buf[32];
    for (const DirectWord& d : g_direct_words) {
        if (d.kind == kind) return d.text;
    }
    for (const KeywordTable& t : g_keyword_tables) {
        if (t.entries == nullptr) continue;
        int entries = static_cast<int>(std::strlen(t.entries)) / t.width;
        if (kind < t.first_kind || kind >= t.first_kind + entries) continue;
        const char* e = t.entries + (kind - t.first_kind) * t.width;
        int n = 0;
        while (n < t.width && n < static_cast<int>(sizeof buf) - 1 && e[n] != ' ') {
            buf[n] = e[n];
            ++n;
        }
        buf[n] = '\0';
        return buf;
    }
    return "";
}

// ---- Number literals ----

char* read_number_literal(char* p, int sign, ValueWord* out) {
    // An end for read_number that lies inside the text: the number's
    // extent (letters, digits, points, exponent signs).
    const char* end = p;
    while (std::isalnum(static_cast<unsigned char>(*end)) || *end == '.' ||
           ((*end == '+' || *end == '-') && end > p && (end[-1] == 'e' || end[-1] == 'E'))) {
        ++end;
    }
    // At least 120 bytes (when the text has them), so that a malformed
    // number's message quotes the text that follows it.
    const char* quoted = p;
    while (quoted < p + 120 && *quoted != '\0') ++quoted;
    if (end < quoted) end = quoted;
    const char* cursor = p;
    NumberRead r = read_number(&cursor, end);
    if (r.is_int) {
        int64_t v = sign < 0 ? -r.i : r.i;
        if (v >= INT32_MIN && v <= INT32_MAX) *out = make_int(static_cast<int32_t>(v));
        else *out = make_float(static_cast<double>(v));
    } else {
        *out = make_float(sign < 0 ? -r.d : r.d);
    }
    return const_cast<char*>(cursor);
}

// ---- Error excerpt ----

namespace {

// Bytes of the UTF-8 sequence a lead byte starts (1 for anything else).
int utf8_sequence_length(unsigned char b) {
    if (b >= 0xC0 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF7) return 4;
    if (b >= 0xF8 && b <= 0xFB) return 5;
    if (b >= 0xFC && b <= 0xFD) return 6;
    return 1;
}

}  // namespace

const char* error_excerpt(const char* p, int n) {
    static char buf[512];
    size_t used = 0;
    int chars = 0;
    if (p == nullptr) {
        buf[0] = '\0';
        return buf;
    }
    while (chars < n) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (b == '\0' || b == '\n') break;
        if (b == '\r' && p[1] == '\n') break;
        int len = utf8_sequence_length(b);
        if (used + static_cast<size_t>(len) > 510) break;
        // Copy the sequence, stopping at a zero byte that cuts it.
        int k = 0;
        while (k < len && p[k] != '\0') ++k;
        if (k < len) break;
        std::memcpy(buf + used, p, static_cast<size_t>(len));
        used += static_cast<size_t>(len);
        p += len;
        ++chars;
    }
    buf[used] = '\0';
    return buf;
}

// ---- UTF-8 / UTF-16 ----

size_t MultiToWide(const char* utf8, size_t len, uint16_t* out, size_t capacity) {
    if (capacity == 0) return 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(utf8);
    size_t i = 0;
    size_t n = 0;
    while (i < len && n + 1 < capacity) {
        unsigned char b = s[i];
        if (b == 0) break;
        int extra;
        uint32_t cp;
        if (b < 0x80) {
            out[n++] = b;
            ++i;
            continue;
        } else if (b >= 0xC0 && b <= 0xDF) {
            extra = 1;
            cp = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            cp = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF7) {
            extra = 3;
            cp = b & 0x07u;
        } else {
            out[n++] = 0xFFFD;
            ++i;
            continue;
        }
        ++i;
        int k = 0;
        while (k < extra && i < len && s[i] != 0) {
            cp = (cp << 6) | (s[i] & 0x3Fu);
            ++i;
            ++k;
        }
        if (k < extra) {
            // The sequence is cut by the end of the text.
            out[n++] = 0xFFFD;
            break;
        }
        if (cp > 0xFFFF) report_error(1595, "MultiToWide 文字の変換エラー(サロゲート文字)");
        out[n++] = static_cast<uint16_t>(cp);
    }
    out[n] = 0;
    return n;
}

size_t utf8_from_wide(const uint16_t* wide, size_t count, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t u = wide[i];
        if (u == 0) break;
        size_t need = u < 0x80 ? 1 : (u < 0x800 ? 2 : 3);
        if (n + need > capacity - 1) break;
        if (need == 1) {
            out[n++] = static_cast<char>(u);
        } else if (need == 2) {
            out[n++] = static_cast<char>(0xC0 | (u >> 6));
            out[n++] = static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xE0 | (u >> 12));
            out[n++] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    out[n] = '\0';
    return n;
}

}  // namespace velt
