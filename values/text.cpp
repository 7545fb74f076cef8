// Strings, the plain and display text forms of values, number reading and
// the Integer / Float conversions.
#include "values/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/errors.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

DateTextHook date_text_hook = nullptr;
RegExpTextHook regexp_text_hook = nullptr;

namespace {

// Room for "%.10f" of the largest double (309 digits, point, 10 decimals,
// sign, NUL) and for "inf" / "nan".
constexpr size_t FLOAT_TEXT_SIZE = 400;
// Nesting depth of arrays and objects written as text. Deeper values
// (or an array that holds itself) fail with 2390 rather than overrunning
// the stack.
constexpr int MAX_TEXT_DEPTH = 1000;
// The number text quoted in error 1405 is cut to this many bytes.
constexpr size_t NUMBER_EXCERPT = 120;

[[noreturn]] void out_of_memory() { report_error(1400, "メモリ領域を取得できません"); }

void textbuf_reserve(TextBuf& b, size_t extra) {
    if (b.len + extra + 1 <= b.cap) return;
    size_t cap = b.len + extra + 3096;
    if (cap < b.cap * 2) cap = b.cap * 2;
    char* p = static_cast<char*>(std::realloc(b.data, cap));
    if (p == nullptr) out_of_memory();
    b.data = p;
    b.cap = cap;
}

void append_char(TextBuf& b, char c) { textbuf_append(b, &c, 1); }

void append_int(TextBuf& b, int32_t v) {
    char tmp[16];
    textbuf_append(b, tmp, format_int(tmp, v));
}

void append_float(TextBuf& b, double d) {
    char tmp[FLOAT_TEXT_SIZE];
    textbuf_append(b, tmp, format_float(tmp, d));
}

// Date text from the cell fields: "%04d-%02d-%02d %02d:%02d:%02d", with
// ".%03d" milliseconds when they are not 0.
void append_date_fallback(TextBuf& b, ValueWord w) {
    const uint8_t* c = reinterpret_cast<const uint8_t*>(dw_cell(w));
    int month = (c[1] & 0x0F) + 1;
    int hour = c[2];
    int day = c[3] & 0x1F;
    int minute = c[4];
    int second = c[5];
    int16_t year;
    std::memcpy(&year, c + 6, 2);
    uint32_t ms_field;
    std::memcpy(&ms_field, c + 8, 4);
    int ms = static_cast<int>(ms_field & 0x3FF);
    char tmp[64];
    int n;
    if (ms != 0)
        n = std::snprintf(tmp, sizeof tmp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour,
                          minute, second, ms);
    else
        n = std::snprintf(tmp, sizeof tmp, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                          second);
    textbuf_append(b, tmp, static_cast<size_t>(n));
}

void append_regexp(TextBuf& b, ValueWord w) {
    if (regexp_text_hook != nullptr) {
        regexp_text_hook(w, b);
        return;
    }
    const uint8_t* m = word_memory(w);
    uint8_t flags = m[1];
    textbuf_append(b, "//", 2);
    if (flags & 0x08) append_char(b, 'i');
    if (flags & 0x04) append_char(b, 'm');
    if (flags & 0x10) append_char(b, 'g');
    if (flags & 0x20) append_char(b, 'y');
    if (flags & 0x40) append_char(b, 's');
}

// A pair key: a name's text, or the number of an integer key.
void append_key(TextBuf& b, ValueWord key) {
    if (word_tag(key) == TAG_NAME) {
        uint32_t idx = word_payload(key);
        textbuf_append(b, name_text(idx), name_length(idx));
    } else {
        append_int(b, static_cast<int32_t>(word_payload(key)));
    }
}

[[noreturn]] void type_error(bool display) {
    if (display) report_error(2520, "データの型不正");
    report_error(2522, "データの型不正");
}

void write_value(ValueWord w, bool display, bool quote, TextBuf& out, int depth) {
    uint32_t tag = word_tag(w);
    switch (tag) {
    case TAG_NAME: {
        uint32_t idx = word_payload(w);
        textbuf_append(out, name_text(idx), name_length(idx));
        return;
    }
    case TAG_INT: append_int(out, cell_int(dw_cell(w))); return;
    case TAG_FLOAT: append_float(out, cell_float(dw_cell(w))); return;
    case TAG_SQL: textbuf_append(out, "SQL_Object"); return;
    case TAG_DBCONN: textbuf_append(out, "DB_Connection"); return;
    case TAG_DATE:
        if (date_text_hook != nullptr) date_text_hook(w, display, out);
        else append_date_fallback(out, w);
        return;
    case TAG_ERROR: {
        size_t mlen = 0;
        const char* msg = error_message_text(w, &mlen);
        textbuf_append(out, error_code_text(w));
        append_char(out, ':');
        textbuf_append(out, msg, mlen);
        return;
    }
    case TAG_REGEXP: append_regexp(out, w); return;
    case TAG_STRING: {
        if (quote) append_char(out, '"');
        textbuf_append(out, string_text(w), string_length(w));
        if (quote) append_char(out, '"');
        return;
    }
    case TAG_ARRAY:
    case TAG_SPARSE:
    case TAG_OBJECT: break;
    case TAG_NODE:
        if (display) {
            textbuf_append(out, "Operation");
        } else {
            char tmp[40];
            int n = std::snprintf(tmp, sizeof tmp, "operation_index: %d", static_cast<int>(node_op(dw_cell(w))));
            textbuf_append(out, tmp, static_cast<size_t>(n));
        }
        return;
    default: type_error(display);
    }

    // Arrays and objects: the elements are always in display form, quoted.
    if (depth >= MAX_TEXT_DEPTH) report_error(2390, "データの入れ子が深すぎます");
    Cell* c = dw_cell(w);
    if (tag == TAG_ARRAY) {
        uint32_t n = arr_count(c);
        append_char(out, '[');
        for (uint32_t i = 0; i < n; ++i) {
            // Re-read the element block each time: a date or regexp hook
            // must not leave a stale pointer behind.
            const ValueWord* elems = static_cast<const ValueWord*>(area_ptr(arr_addr(c)));
            if (i > 0) append_char(out, ',');
            write_value(elems[i], true, true, out, depth + 1);
        }
        append_char(out, ']');
        return;
    }
    if (tag == TAG_SPARSE) {
        uint32_t n = arr_count(c);
        append_char(out, '[');
        for (uint32_t i = 0; i < n; ++i) {
            const ValueWord* pairs = static_cast<const ValueWord*>(area_ptr(arr_addr(c)));
            if (i > 0) append_char(out, ',');
            append_key(out, pairs[2 * i]);
            append_char(out, ':');
            write_value(pairs[2 * i + 1], true, true, out, depth + 1);
        }
        append_char(out, ']');
        return;
    }
    uint32_t n = obj_count(c);
    append_char(out, '{');
    for (uint32_t i = 0; i < n; ++i) {
        const ValueWord* pairs = static_cast<const ValueWord*>(area_ptr(obj_addr(c)));
        if (i > 0) append_char(out, ',');
        if (display) append_char(out, '\'');
        append_key(out, pairs[2 * i]);
        if (display) append_char(out, '\'');
        append_char(out, ':');
        write_value(pairs[2 * i + 1], true, true, out, depth + 1);
    }
    append_char(out, '}');
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Error 1405, quoting the number text from `start`, at most 120 bytes and
// never past `end` (the cut backs off to a whole UTF-8 character).
[[noreturn]] void number_format_error(const char* start, const char* end) {
    size_t n = static_cast<size_t>(end - start);
    if (n > NUMBER_EXCERPT) {
        n = NUMBER_EXCERPT;
        while (n > 0 && (static_cast<unsigned char>(start[n]) & 0xC0) == 0x80) --n;
    }
    char excerpt[NUMBER_EXCERPT + 1];
    std::memcpy(excerpt, start, n);
    excerpt[n] = '\0';
    report_parse_error(1405, "数字のフォーマット不正 '%s'", excerpt);
}

// An optional exponent: "e" or "E", an optional sign, then digits. A
// marker without digits is error 1405.
const char* skip_exponent(const char* start, const char* p, const char* end) {
    if (p >= end || (*p != 'e' && *p != 'E')) return p;
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* digits = p;
    while (p < end && is_digit(*p)) ++p;
    if (p == digits) number_format_error(start, end);
    return p;
}

// The double that the syntax-checked text [s, e) stands for, correctly
// rounded; overflow gives infinity, underflow zero.
double text_to_double(const char* s, const char* e) {
    double d = 0.0;
    auto res = std::from_chars(s, e, d, std::chars_format::general);
    if (res.ec == std::errc() && res.ptr == e) return d;
    std::string copy(s, e);
    return std::strtod(copy.c_str(), nullptr);
}

ValueWord integer_from_double(double d) {
    double t = std::trunc(d);
    if (t >= -2147483648.0 && t <= 2147483647.0) return make_int(static_cast<int32_t>(t));
    return make_float(d);
}

ValueWord integer_from_int64(int64_t v) {
    if (v >= INT32_MIN && v <= INT32_MAX) return make_int(static_cast<int32_t>(v));
    return make_float(static_cast<double>(v));
}

// Reads an optional sign and a number from a string value.
NumberRead read_signed(ValueWord s, bool* negative) {
    const char* p = string_text(s);
    const char* end = p + string_length(s);
    *negative = false;
    if (p < end && (*p == '-' || *p == '+')) {
        *negative = *p == '-';
        ++p;
    }
    return read_number(&p, end);
}

}  // namespace

void textbuf_append(TextBuf& b, const char* s, size_t n) {
    textbuf_reserve(b, n);
    if (n > 0) std::memcpy(b.data + b.len, s, n);
    b.len += n;
    b.data[b.len] = '\0';
}

void textbuf_append(TextBuf& b, const char* s) { textbuf_append(b, s, std::strlen(s)); }

void textbuf_free(TextBuf& b) {
    std::free(b.data);
    b.data = nullptr;
    b.len = 0;
    b.cap = 0;
}

ValueWord make_string_pair(const char* a, size_t la, const char* b, size_t lb) {
    if (la > 0xFFFFFFFFu - 12 || lb > 0xFFFFFFFFu - 12 - la) out_of_memory();
    size_t len = la + lb;
    void* mem = nullptr;
    uint32_t addr = area_alloc(len + 12, &mem);
    char* dst = static_cast<char*>(mem);
    if (la > 0) std::memcpy(dst, a, la);
    if (lb > 0) std::memcpy(dst + la, b, lb);
    dst[len] = '\0';
    ValueWord w;
    Cell* c = dw_alloc(TAG_STRING, &w, 0);
    str_addr(c) = addr;
    str_cap(c) = static_cast<uint32_t>(len + 8);
    str_len(c) = static_cast<uint32_t>(len);
    return w;
}

void string_append_in_place(ValueWord s, const char* b, size_t lb) {
    constexpr uint64_t STRING_MAX = 0x7FFFFFFFu;
    Cell* c = dw_cell(s);
    uint64_t len = str_len(c);
    uint64_t need = len + lb;
    if (need > STRING_MAX) out_of_memory();
    // The storage holds cap + 4 bytes: the text and its NUL.
    if (need + 1 > static_cast<uint64_t>(str_cap(c)) + 4) {
        uint64_t cap = need + need / 2 + 8;
        if (cap > STRING_MAX + 8) cap = STRING_MAX + 8;
        void* mem = nullptr;
        uint32_t addr = area_alloc(static_cast<size_t>(cap) + 4, &mem);
        std::memcpy(mem, area_ptr(str_addr(c)), static_cast<size_t>(len));
        area_free(str_addr(c));
        str_addr(c) = addr;
        str_cap(c) = static_cast<uint32_t>(cap);
    }
    char* text = static_cast<char*>(area_ptr(str_addr(c)));
    if (lb > 0) std::memcpy(text + len, b, lb);
    text[need] = '\0';
    str_len(c) = static_cast<uint32_t>(need);
}

ValueWord make_string(const char* text, size_t len) { return make_string_pair(text, len, nullptr, 0); }

const char* string_text(ValueWord w) { return static_cast<const char*>(area_ptr(str_addr(dw_cell(w)))); }

uint32_t string_length(ValueWord w) { return str_len(dw_cell(w)); }

size_t format_int(char* out, int32_t v) {
    int n = std::snprintf(out, 16, "%d", v);
    return static_cast<size_t>(n);
}

size_t format_float(char* out, double d) {
    int r = std::snprintf(out, FLOAT_TEXT_SIZE, "%.10f", d);
    size_t n = static_cast<size_t>(r);
    if (n >= FLOAT_TEXT_SIZE) n = FLOAT_TEXT_SIZE - 1;  // cannot happen for a double
    if (std::memchr(out, '.', n) != nullptr) {
        // Drop trailing zeros, keeping one digit after the point.
        while (n >= 2 && out[n - 1] == '0' && out[n - 2] != '.') --n;
        out[n] = '\0';
    }
    return n;
}

void value_text(ValueWord w, TextBuf& out) { write_value(w, false, false, out, 0); }

void value_display(ValueWord w, bool quote_strings, TextBuf& out) { write_value(w, true, quote_strings, out, 0); }

NumberRead read_number(const char** cursor, const char* end) {
    const char* s = *cursor;
    const char* p = s;
    NumberRead r{true, 0, 0.0};

    // Hexadecimal: "0x" and at least one hex digit.
    if (end - p >= 3 && p[0] == '0' && p[1] == 'x' && hex_value(p[2]) >= 0) {
        p += 2;
        uint64_t v = 0;
        double d = 0.0;
        bool big = false;
        int h;
        while (p < end && (h = hex_value(*p)) >= 0) {
            if (!big && v > (static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(h)) / 16) {
                big = true;
                d = static_cast<double>(v);
            }
            if (big) d = d * 16.0 + h;
            else v = v * 16 + static_cast<uint64_t>(h);
            ++p;
        }
        if (big) {
            r.is_int = false;
            r.d = d;
        } else {
            r.i = static_cast<int64_t>(v);
        }
        *cursor = p;
        return r;
    }

    // A leading point: fraction digits, no second point, optional exponent.
    if (p < end && *p == '.') {
        ++p;
        const char* digits = p;
        while (p < end && is_digit(*p)) ++p;
        if (p == digits) number_format_error(s, end);
        if (p < end && *p == '.') number_format_error(s, end);
        p = skip_exponent(s, p, end);
        r.is_int = false;
        r.d = text_to_double(s, p);
        *cursor = p;
        return r;
    }

    // Digits, optional point and digits, optional exponent. Text without
    // any digit is the integer 0 and nothing is consumed.
    uint64_t v = 0;
    bool overflow = false;
    while (p < end && is_digit(*p)) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (static_cast<uint64_t>(INT64_MAX) - digit) / 10) overflow = true;
        else v = v * 10 + digit;
        ++p;
    }
    if (p == s) return r;
    bool is_float = overflow;
    if (p < end && *p == '.') {
        is_float = true;
        ++p;
        while (p < end && is_digit(*p)) ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        is_float = true;
        p = skip_exponent(s, p, end);
    }
    if (is_float) {
        r.is_int = false;
        r.d = text_to_double(s, p);
    } else {
        r.i = static_cast<int64_t>(v);
    }
    *cursor = p;
    return r;
}

ValueWord convert_integer(const ValueWord* args, int argc) {
    if (argc == 0) return make_int(0);
    if (argc > 1) report_error(2375, "引数の個数不正");
    ValueWord a = args[0];
    switch (word_tag(a)) {
    case TAG_INT: return make_int(cell_int(dw_cell(a)));
    case TAG_FLOAT: return integer_from_double(cell_float(dw_cell(a)));
    case TAG_STRING: {
        bool negative;
        NumberRead n = read_signed(a, &negative);
        if (n.is_int) return integer_from_int64(negative ? -n.i : n.i);
        return integer_from_double(negative ? -n.d : n.d);
    }
    default: report_error(1410, "Integerの引数不正");
    }
}

ValueWord convert_float(const ValueWord* args, int argc) {
    if (argc == 0) return make_float(0.0);
    if (argc > 1) report_error(2380, "引数の個数不正");
    ValueWord a = args[0];
    switch (word_tag(a)) {
    case TAG_INT: return make_float(static_cast<double>(cell_int(dw_cell(a))));
    case TAG_FLOAT: return make_float(cell_float(dw_cell(a)));
    case TAG_STRING: {
        bool negative;
        NumberRead n = read_signed(a, &negative);
        if (n.is_int) return make_float(static_cast<double>(negative ? -n.i : n.i));
        return make_float(negative ? -n.d : n.d);
    }
    default: report_error(1415, "Floatの引数不正");
    }
}

}  // namespace velt
