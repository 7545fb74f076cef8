// Request intake of CGI and replay mode.
//
// The body is a run of fields, each introduced by one letter. Counts and
// lengths are written as a marker character (how many digits follow) and
// the digits; texts as counted strings, plain or percent-encoded. Nothing
// here trusts the body: every piece is read through a cursor that stops at
// the end of its field, and a count or length that reaches past it fails
// with the code of the piece.
#include "driver/request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/protocol.h"
#include "driver/config.h"
#include "driver/program.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "driver/token.h"
#include "eval/scope.h"
#include "platform/platform.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

// Codes of the pieces (marker, digits).
constexpr PieceCodes COUNT_CODES = {1500, 1505};   // counts of fields, objects and elements
constexpr PieceCodes NAME_CODES = {1520, 1525};    // variable, object and key names
constexpr PieceCodes TEXT_CODES = {1530, 1535};    // values and texts
constexpr PieceCodes LENGTH_CODES = {1540, 1545};  // field lengths and module names
constexpr PieceCodes ELEMENT_CODES = {1560, 1565}; // element values
constexpr int INT_MARKER_CODE = 1550;
constexpr int INT_DIGITS_CODE = 1555;

const char LENGTH_MESSAGE[] = "文字列の長さ不正";
const char AUTH_ERROR[] = "認証エラー";
const char TIMEOUT[] = "タイムアウト";

// Longest name the name table takes.
constexpr size_t NAME_MAX = 255;
// Longest number text looked at.
constexpr size_t NUMBER_TEXT_MAX = 1023;

char g_request_buffer[REQUEST_BUFFER];
char* g_large_body = nullptr;  // a body too large for the shared buffer
char* g_scratch = nullptr;
size_t g_scratch_cap = 0;
TempObjects g_temps;

char g_token_buffer[TOKEN_BUFFER];
size_t g_seed_len = 0;
size_t g_token_len = 0;
bool g_modules_from_disk = false;

// Fails a piece: code 1540 names the text where the marker was expected,
// every other code has the length message.
[[noreturn]] void piece_error(int code, const char* at, const char* end) {
    if (code == 1540) {
        size_t left = static_cast<size_t>(end - at);
        int shown = static_cast<int>(left < 40 ? left : 40);
        report_error(1540, "フォーマット不正(%.*s)", shown, at);
    }
    report_error(code, "%s", LENGTH_MESSAGE);
}

// k decimal digits at the cursor.
uint64_t read_digits(ReqCursor& c, int k, int code) {
    if (c.end - c.p < k) piece_error(code, c.p, c.end);
    uint64_t v = 0;
    for (int i = 0; i < k; ++i) {
        char d = c.p[i];
        if (d < '0' || d > '9') piece_error(code, c.p, c.end);
        v = v * 10 + static_cast<uint64_t>(d - '0');
    }
    c.p += k;
    return v;
}

char* scratch(size_t n) {
    if (n + 1 > g_scratch_cap) {
        size_t cap = n + 1 < 1024 ? 1024 : n + 1;
        char* grown = static_cast<char*>(std::realloc(g_scratch, cap));
        if (!grown) report_error(1400, "メモリ領域を取得できません");
        g_scratch = grown;
        g_scratch_cap = cap;
    }
    return g_scratch;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A name for the name table: 1 to 255 bytes without a NUL.
uint32_t name_index_of(const ReqText& t) {
    if (t.len == 0 || t.len > NAME_MAX) report_error(NAME_CODES.digits, "%s", LENGTH_MESSAGE);
    if (std::memchr(t.text, '\0', t.len)) report_error(1510, "デコード文字不正");
    return intern(t.text, t.len);
}

uint32_t read_name(ReqCursor& c) { return name_index_of(req_string(c, true, NAME_CODES)); }

// Reads a number text of at most NUMBER_TEXT_MAX bytes completely with
// strtod; false when characters are left over.
bool parse_real(const char* text, size_t len, double* out) {
    char buf[NUMBER_TEXT_MAX + 1];
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    char* end = nullptr;
    *out = std::strtod(buf, &end);
    return end == buf + len;
}

// ---- Values of field A ----

// Words in area memory may be only 2-byte aligned: they are reached as
// AreaWord.
AreaWord* word_block(size_t n, uint32_t* addr) {
    void* mem = nullptr;
    *addr = area_alloc(n * 4, &mem);
    std::memset(mem, 0, n * 4);
    return static_cast<AreaWord*>(mem);
}

ValueWord new_array(uint32_t tag, uint64_t n, AreaWord** slots) {
    uint32_t stride = tag == TAG_SPARSE ? 2 : 1;
    uint32_t addr;
    *slots = word_block(static_cast<size_t>(n + 10) * stride, &addr);
    ValueWord out;
    Cell* c = dw_alloc(tag, &out, 0);
    arr_addr(c) = addr;
    arr_cap(c) = static_cast<uint32_t>(n + 10);
    return out;
}

ValueWord new_object(uint64_t n, AreaWord** pairs) {
    uint32_t addr;
    *pairs = word_block(static_cast<size_t>(n + 10) * 2, &addr);
    ValueWord out;
    Cell* c = dw_alloc(TAG_OBJECT, &out, 0);
    set_obj_cap(c, static_cast<uint32_t>(n + 10));
    obj_addr(c) = addr;
    return out;
}

// The key of a sparse-array pair: an integer becomes an integer key, a
// string a name.
ValueWord sparse_key(ValueWord k, const char* at, const char* end) {
    ValueWord key;
    if (word_tag(k) == TAG_INT && cell_int(dw_cell(k)) <= 0xFFFFFF) {
        key = intkey_word(static_cast<uint32_t>(cell_int(dw_cell(k))));
    } else if (word_tag(k) == TAG_STRING) {
        key = name_word(name_index_of(ReqText{string_text(k), string_length(k)}));
    } else {
        value_release_temp(k);
        piece_error(ELEMENT_CODES.marker, at, end);
    }
    value_release_temp(k);
    return key;
}

// "^A" or "^H" and six digits whose number is not 0; the number, or 0.
uint32_t temporary_number(const ReqText& t) {
    if (t.len != 8 || t.text[0] != '^' || (t.text[1] != 'A' && t.text[1] != 'H')) return 0;
    uint32_t n = 0;
    for (int i = 2; i < 8; ++i) {
        if (!is_digit(t.text[i])) return 0;
        n = n * 10 + static_cast<uint32_t>(t.text[i] - '0');
    }
    return n;
}

// One object of field A.
void decode_object(ReqCursor& f, TempObjects& temps) {
    if (f.p >= f.end) report_error(1750, "データの型不正(Hash, Array, Variable でない).");
    char kind = *f.p;
    bool temporary = kind == 'a' || kind == 'h' || kind == 'i';
    if (kind != 'A' && kind != 'H' && kind != 'I' && !temporary)
        report_error(1750, "データの型不正(Hash, Array, Variable でない).");
    ++f.p;
    uint64_t n = req_count(f, COUNT_CODES);
    uint32_t name = 0, number = 0;
    {
        ReqText t = req_string(f, true, NAME_CODES);
        if (temporary) {
            number = temporary_number(t);
            if (number == 0) report_error(1705, "Object名不正");
        } else {
            name = name_index_of(t);
        }
    }
    // Every element takes at least one byte.
    if (n > static_cast<uint64_t>(f.end - f.p)) report_error(COUNT_CODES.digits, "%s", LENGTH_MESSAGE);
    ValueWord obj;
    if (kind == 'A' || kind == 'a') {
        AreaWord* slots;
        obj = new_array(TAG_ARRAY, n, &slots);
        Cell* c = dw_cell(obj);
        for (uint64_t i = 0; i < n; ++i) {
            slots[i] = value_retain(req_element(f, temps));
            arr_count(c) = static_cast<uint32_t>(i + 1);
        }
    } else if (kind == 'H' || kind == 'h') {
        if (n > OBJECT_ENTRIES_MAX) report_error(1710, "Objectバッファーのオーバーフロー");
        AreaWord* pairs;
        obj = new_object(n, &pairs);
        Cell* c = dw_cell(obj);
        for (uint64_t i = 0; i < n; ++i) {
            uint32_t key = name_index_of(req_string(f, false, NAME_CODES));
            pairs[2 * i] = name_word(key);
            pairs[2 * i + 1] = value_retain(req_element(f, temps));
            set_obj_count(c, static_cast<uint32_t>(i + 1));
        }
    } else {
        AreaWord* pairs;
        obj = new_array(TAG_SPARSE, n, &pairs);
        Cell* c = dw_cell(obj);
        for (uint64_t i = 0; i < n; ++i) {
            const char* at = f.p;
            pairs[2 * i] = sparse_key(req_element(f, temps), at, f.end);
            pairs[2 * i + 1] = value_retain(req_element(f, temps));
            arr_count(c) = static_cast<uint32_t>(i + 1);
        }
    }
    if (!temporary) {
        bind_global(name, obj);
        return;
    }
    if (temps.count >= TEMP_OBJECTS_MAX) report_error(1710, "Objectバッファーのオーバーフロー");
    temps.numbers[temps.count] = number;
    temps.objects[temps.count] = obj;
    ++temps.count;
}

// ---- Fields ----

// Count and length of a typed field; returns the cursor over its part and
// moves the outer cursor past it.
ReqCursor field_part(ReqCursor& c, uint64_t* count) {
    *count = req_count(c, COUNT_CODES);
    uint64_t len = req_length(c, LENGTH_CODES);
    ReqCursor f{c.p, c.p + len};
    c.p = f.end;
    return f;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// A module name of field M: a relative name inside MODULE_DIR ending in
// .js or .jo (any case).
void add_request_module(const char* name, size_t len) {
    char shown[1024];
    size_t shown_len = len < sizeof shown - 1 ? len : sizeof shown - 1;
    std::memcpy(shown, name, shown_len);
    shown[shown_len] = '\0';
    bool bad = len == 0 || is_separator(name[0]) || std::memchr(name, '\0', len) || std::memchr(name, ':', len);
    // A ".." path component.
    for (size_t i = 0; !bad && i + 1 < len; ++i) {
        if (name[i] == '.' && name[i + 1] == '.' && (i == 0 || is_separator(name[i - 1])) &&
            (i + 2 == len || is_separator(name[i + 2])))
            bad = true;
    }
    if (bad) report_parse_error(1170, "モジュール名不正 '%s'", shown);
    const char* dot = nullptr;
    for (size_t i = len; i > 0; --i) {
        if (is_separator(name[i - 1])) break;
        if (name[i - 1] == '.') {
            dot = name + i - 1;
            break;
        }
    }
    if (!dot) report_parse_error(1170, "モジュール名不正 '%s'", shown);
    const char* ext = dot + 1;
    size_t ext_len = static_cast<size_t>(name + len - ext);
    if (ext_len == 0 || (ext[0] != 'j' && ext[0] != 'J'))
        report_parse_error(1170, "モジュール名不正 '%.*s'", static_cast<int>(shown_len), shown);
    uint8_t kind;
    if (ext_len == 2 && (ext[1] == 's' || ext[1] == 'S')) {
        kind = MODULE_JS;
    } else if (ext_len == 2 && (ext[1] == 'o' || ext[1] == 'O')) {
        kind = MODULE_JO;
    } else {
        report_parse_error(1175, "モジュール名不正 '%.*s'", static_cast<int>(shown_len), shown);
    }
    if (g_run.module_last + 1 >= MAX_SCRIPT_MODULES)
        report_error(1735, "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。");
    if (!module_add(name, len, kind)) report_error(1400, "メモリ領域を取得できません");
}

void decode_modules(ReqCursor& c) {
    uint64_t n;
    ReqCursor f = field_part(c, &n);
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t len = req_length(f, LENGTH_CODES);
        add_request_module(f.p, static_cast<size_t>(len));
        f.p += len;
    }
}

// An integer of field I: a marker "0" to ":" giving the number of
// characters, decimal digits of which the first may be a sign that is
// skipped.
int32_t read_request_int(ReqCursor& c) {
    if (c.p >= c.end || *c.p < '0' || *c.p > ':') piece_error(INT_MARKER_CODE, c.p, c.end);
    int k = *c.p - '0';
    ++c.p;
    if (c.end - c.p < k) piece_error(INT_DIGITS_CODE, c.p, c.end);
    uint64_t v = 0;
    for (int i = 0; i < k; ++i) {
        char d = c.p[i];
        if (i == 0 && (d == '+' || d == '-')) continue;
        if (!is_digit(d)) piece_error(INT_DIGITS_CODE, c.p, c.end);
        v = v * 10 + static_cast<uint64_t>(d - '0');
    }
    c.p += k;
    if (v > 0x7FFFFFFFu) piece_error(INT_MARKER_CODE, c.p, c.end);
    return static_cast<int32_t>(v);
}

void decode_ints(ReqCursor& c) {
    uint64_t n;
    ReqCursor f = field_part(c, &n);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t name = read_name(f);
        bind_global(name, make_int(read_request_int(f)));
    }
}

void decode_reals(ReqCursor& c) {
    uint64_t n;
    ReqCursor f = field_part(c, &n);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t name = read_name(f);
        uint64_t len = req_length(f, TEXT_CODES);
        size_t looked = len < NUMBER_TEXT_MAX ? static_cast<size_t>(len) : NUMBER_TEXT_MAX;
        double d;
        if (!parse_real(f.p, looked, &d)) report_error(1700, "数値の文字列不正");
        f.p += len;
        bind_global(name, make_float(d));
    }
}

void decode_strings(ReqCursor& c) {
    uint64_t n;
    ReqCursor f = field_part(c, &n);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t name = read_name(f);
        ReqText v = req_string(f, false, TEXT_CODES);
        bind_global(name, make_string(v.text, v.len));
    }
}

void decode_objects(ReqCursor& c) {
    uint64_t n;
    ReqCursor f = field_part(c, &n);
    g_temps.count = 0;
    for (uint64_t i = 0; i < n; ++i) decode_object(f, g_temps);
    // Temporaries nobody referenced end with the field.
    for (int i = 0; i < g_temps.count; ++i) value_release_temp(g_temps.objects[i]);
    g_temps.count = 0;
}

void decode_token_texts(ReqCursor& c) {
    ReqText seed = req_string(c, true, TEXT_CODES);
    if (seed.len > TOKEN_BUFFER - 1) {
        g_run.error_exit = true;
        report_error(1775, "%s", AUTH_ERROR);
    }
    std::memcpy(g_token_buffer, seed.text, seed.len);
    g_seed_len = seed.len;
    ReqText token = req_string(c, false, TEXT_CODES);
    // Seed, six bytes, token: the three must fit together. Both lengths are
    // checked against the buffer first, so no difference below can wrap.
    if (token.len > TOKEN_BUFFER - 6 || g_seed_len > TOKEN_BUFFER - 6 - token.len) {
        g_run.error_exit = true;
        report_error(1775, "%s", AUTH_ERROR);
    }
    std::memcpy(g_token_buffer + g_seed_len + 6, token.text, token.len);
    g_token_len = token.len;
}

// Field l: a plain file name replaces the file-name part of LOGFILE.
void replace_journal_name(const ReqText& t) {
    if (t.len == 0 || t.text[0] == '.') return;
    for (size_t i = 0; i < t.len; ++i) {
        char ch = t.text[i];
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || is_digit(ch) || ch == '.' ||
                  ch == '_' || ch == '-';
        if (!ok) return;
    }
    char* slash = std::strrchr(g_config.logfile, '/');
    if (!slash) return;
    size_t dir_len = static_cast<size_t>(slash - g_config.logfile) + 1;
    if (dir_len + t.len > sizeof g_config.logfile - 1) return;
    std::memcpy(g_config.logfile + dir_len, t.text, t.len);
    g_config.logfile[dir_len + t.len] = '\0';
}

// ---- Reading the body ----

[[noreturn]] void bad_content_length() { fatal_exit("受信データの長さ不正(CONTENT_LENGTH)"); }

// CGI mode: CONTENT_LENGTH bytes from standard input, then the header.
const char* read_cgi_body(size_t* len) {
    int64_t length = 0;
    const char* env = platform::env_get("CONTENT_LENGTH");
    if (env) {
        char text[20];
        std::snprintf(text, sizeof text, "%.19s", env);
        char* end = nullptr;
        long long v = std::strtoll(text, &end, 10);
        if (*end != '\0') fatal_exit("CONTENT_LENGTH is not not number format.");
        if (v < 0 || v > CONTENT_LENGTH_MAX) bad_content_length();
        length = v;
    }
    size_t want = static_cast<size_t>(length);
    char* body = g_request_buffer;
    if (want + 516 > REQUEST_BUFFER) {
        g_large_body = static_cast<char*>(std::malloc(want + 512));
        if (!g_large_body) report_error(1400, "メモリ領域を取得できません");
        body = g_large_body;
    }
    size_t got = 0;
    for (int reads = 0; reads < 200 && got < want; ++reads) {
        size_t n = std::fread(body + got, 1, want - got, stdin);
        if (n == 0) {
            want = got;  // a short body is accepted
            break;
        }
        got += n;
    }
    body[got] = '\0';
    if (got < want) bad_content_length();
    out_content_header();
    *len = got;
    return body;
}

// Replay mode: the first argument, at most REQUEST_BUFFER - 1 bytes.
const char* read_replay_body(size_t* len) {
    const char* arg = g_run.argc > 1 ? g_run.argv[1] : "";
    size_t n = std::strlen(arg);
    if (n > REQUEST_BUFFER - 1) n = REQUEST_BUFFER - 1;
    std::memcpy(g_request_buffer, arg, n);
    g_request_buffer[n] = '\0';
    *len = n;
    return g_request_buffer;
}

void check_token() {
    int reason = token_check(g_config.token_key, g_config.time_interval, g_token_buffer, g_seed_len,
                             g_token_buffer + g_seed_len + 6, g_token_len, platform::time_now(),
                             g_run.client_bytes);
    if (reason == TOKEN_OK) return;
    g_run.error_exit = true;
    report_error(1775, "%s", reason < 100 ? AUTH_ERROR : TIMEOUT);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// ---- Pieces ----

uint64_t req_count(ReqCursor& c, PieceCodes codes) {
    if (c.p >= c.end || *c.p < '0' || *c.p > '=') piece_error(codes.marker, c.p, c.end);
    int k = *c.p - '0';
    ++c.p;
    return read_digits(c, k, codes.digits);
}

uint64_t req_length(ReqCursor& c, PieceCodes codes) {
    int k;
    if (c.p < c.end && *c.p >= '0' && *c.p <= '9') {
        k = *c.p - '0';
    } else if (c.p < c.end && *c.p >= 'A' && *c.p <= 'J') {
        k = *c.p - 'A';
    } else {
        piece_error(codes.marker, c.p, c.end);
    }
    ++c.p;
    uint64_t n = read_digits(c, k, codes.digits);
    if (n > static_cast<uint64_t>(c.end - c.p)) piece_error(codes.digits, c.p, c.end);
    return n;
}

size_t percent_decode(const char* in, size_t n, char* out, bool strict) {
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        if (in[i] == '%') {
            int hi = i + 2 < n ? hex_value(in[i + 1]) : -1;
            int lo = i + 2 < n ? hex_value(in[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                out[w++] = static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
            if (strict) return SIZE_MAX;
        }
        out[w++] = in[i];
    }
    return w;
}

ReqText req_string(ReqCursor& c, bool strict, PieceCodes codes) {
    int k;
    bool encoded;
    if (c.p < c.end && *c.p >= '0' && *c.p <= '=') {
        k = *c.p - '0';
        encoded = false;
    } else if (c.p < c.end && *c.p >= 'A' && *c.p <= 'M') {
        k = *c.p - 'A';
        encoded = true;
    } else {
        piece_error(codes.marker, c.p, c.end);
    }
    ++c.p;
    uint64_t n = read_digits(c, k, codes.digits);
    if (n > static_cast<uint64_t>(c.end - c.p)) piece_error(codes.digits, c.p, c.end);
    size_t len = static_cast<size_t>(n);
    char* out = scratch(len);
    size_t w = len;
    if (encoded) {
        w = percent_decode(c.p, len, out, strict);
        if (w == SIZE_MAX) report_error(1510, "デコード文字不正");
    } else {
        std::memcpy(out, c.p, len);
    }
    out[w] = '\0';
    c.p += len;
    return ReqText{out, w};
}

ValueWord req_element(ReqCursor& c, TempObjects& temps) {
    if (c.p >= c.end) piece_error(ELEMENT_CODES.marker, c.p, c.end);
    char m = *c.p;
    if ((m >= '0' && m <= '=') || (m >= 'A' && m <= 'M')) {
        ReqText t = req_string(c, false, ELEMENT_CODES);
        bool reference = m <= '=' && t.len == 8 && t.text[0] == '^';
        for (int i = 2; reference && i < 8; ++i) reference = is_digit(t.text[i]);
        if (!reference) return make_string(t.text, t.len);
        uint32_t number = 0;
        for (int i = 2; i < 8; ++i) number = number * 10 + static_cast<uint32_t>(t.text[i] - '0');
        for (int i = temps.count - 1; i >= 0; --i) {
            if (temps.numbers[i] != number) continue;
            ValueWord obj = temps.objects[i];
            std::memmove(temps.numbers + i, temps.numbers + i + 1, sizeof(uint32_t) * (temps.count - i - 1));
            std::memmove(temps.objects + i, temps.objects + i + 1, sizeof(ValueWord) * (temps.count - i - 1));
            --temps.count;
            return obj;
        }
        report_error(1575, "テンポラリ名不正");
    }
    if (m >= 'a' && m <= 'o') {
        ++c.p;
        uint64_t len = read_digits(c, m - 'a', ELEMENT_CODES.digits);
        if (len > static_cast<uint64_t>(c.end - c.p)) piece_error(ELEMENT_CODES.digits, c.p, c.end);
        double d;
        if (len > NUMBER_TEXT_MAX || !parse_real(c.p, static_cast<size_t>(len), &d))
            report_error(1570, "実数不正");
        c.p += len;
        return make_float(d);
    }
    if (m >= 'N' && m <= '`') {
        ++c.p;
        const char* at = c.p;
        uint64_t v = read_digits(c, m - 'N', ELEMENT_CODES.digits);
        if (v > 0x7FFFFFFFu) piece_error(ELEMENT_CODES.digits, at, c.end);
        return make_int(static_cast<int32_t>(v));
    }
    piece_error(ELEMENT_CODES.marker, c.p, c.end);
}

// ---- Fields ----

void request_decode(const char* body, size_t len) {
    ReqCursor c{body, body + len};
    while (c.p < c.end) {
        char letter = *c.p++;
        switch (letter) {
        case '\n':
            break;
        case 'P': {
            ReqText t = req_string(c, false, TEXT_CODES);
            if (t.len > static_cast<size_t>(TOP_CALL_MAX))
                report_error(1740, "TOP関数が長すぎます(255Byte以下)");
            std::memcpy(g_run.top_call, t.text, t.len + 1);
            g_run.has_top_call = g_run.top_call[0] != '\0';
            break;
        }
        case 'E': {
            ReqText t = req_string(c, false, TEXT_CODES);
            if (t.len > static_cast<size_t>(TOP_CALL_MAX))
                report_error(1745, "TOP関数が長すぎます(255Byte以下)");
            break;
        }
        case 'M':
            decode_modules(c);
            break;
        case 'I':
            load_modules_once();
            decode_ints(c);
            break;
        case 'D':
            load_modules_once();
            decode_reals(c);
            break;
        case 'S':
            load_modules_once();
            decode_strings(c);
            break;
        case 'A':
            load_modules_once();
            decode_objects(c);
            break;
        case 'Q':
            decode_token_texts(c);
            break;
        case 'l':
            replace_journal_name(req_string(c, false, TEXT_CODES));
            break;
        case 'L':
            g_modules_from_disk = true;
            break;
        case 'T':
            req_count(c, COUNT_CODES);
            break;
        default:
            report_error(1750, "データの型不正(Hash, Array, Variable でない).");
        }
    }
}

void request_bind_replay_list(const char* list) {
    const char* p = list;
    while (*p) {
        const char* part_end = std::strchr(p, ';');
        if (!part_end) part_end = p + std::strlen(p);
        const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(part_end - p)));
        if (eq) {
            const char* nb = p;
            const char* ne = eq;
            while (nb < ne && is_blank(*nb)) ++nb;
            while (ne > nb && is_blank(ne[-1])) --ne;
            const char* vb = eq + 1;
            const char* ve = part_end;
            while (vb < ve && is_blank(*vb)) ++vb;
            while (ve > vb && is_blank(ve[-1])) --ve;
            if (ne > nb) {
                uint32_t name = name_index_of(ReqText{nb, static_cast<size_t>(ne - nb)});
                bind_global(name, make_string(vb, static_cast<size_t>(ve - vb)));
            }
        }
        p = *part_end ? part_end + 1 : part_end;
    }
}

const char* request_seed(size_t* len) {
    *len = g_seed_len;
    return g_token_buffer;
}

const char* request_token(size_t* len) {
    *len = g_token_len;
    return g_token_buffer + g_seed_len + 6;
}

bool request_modules_from_disk() { return g_modules_from_disk; }

void read_request() {
    size_t len = 0;
    const char* body = g_run.mode == RunMode::CGI ? read_cgi_body(&len) : read_replay_body(&len);
    // Values are copied out of the body, so a large one goes once decoded.
    try {
        request_decode(body, len);
    } catch (...) {
        std::free(g_large_body);
        g_large_body = nullptr;
        throw;
    }
    std::free(g_large_body);
    g_large_body = nullptr;
    if (g_run.mode == RunMode::CGI) {
        check_token();
        return;
    }
    if (g_run.argc != 3) {
        g_run.error_exit = true;
        report_error(1775, "%s", AUTH_ERROR);
    }
    load_modules_once();
    request_bind_replay_list(g_run.argv[2]);
}

void send_token_message() {
    TextBuf out;
    token_message(out, g_config.token_key, g_config.time_interval, g_run.error_exit, platform::time_now(),
                  g_run.client_bytes);
    out_write(out.data, out.len);
    textbuf_free(out);
}

void request_reset_for_tests() {
    g_seed_len = 0;
    g_token_len = 0;
    g_modules_from_disk = false;
    g_temps.count = 0;
}

}  // namespace velt
