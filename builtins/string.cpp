// String methods (s.charAt(0), s.split(',') ...) and the static String
// methods fromCharCode and fromCodePoint, with the UTF-8 helpers of
// builtins/string.h. The RegExp forms of replace, replaceAll and split and
// the methods search, match and matchAll belong to builtins/regexp.cpp.
#include "builtins/string.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "parser/lexer.h"
#include "values/areas.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

// ---- UTF-8 helpers ----

namespace {

constexpr uint64_t HIGH_BITS = 0x8080808080808080ull;

// Eight bytes starting at p are all ASCII.
inline bool ascii8(const char* p) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    return (x & HIGH_BITS) == 0;
}

// Steps from byte `from` until `to` is reached or passed (or the end);
// returns the position and adds the steps to *chars.
inline size_t step_to(const char* s, size_t len, size_t from, size_t to, size_t* chars) {
    size_t i = from;
    size_t k = 0;
    if (to > len) to = len;
    while (i < to) {
        if (to - i >= 8 && ascii8(s + i)) {
            i += 8;
            k += 8;
            continue;
        }
        i += utf8_char_length(static_cast<unsigned char>(s[i]));
        ++k;
    }
    *chars += k;
    return i > len ? len : i;
}

}  // namespace

size_t utf8_advance(const char* s, size_t len, size_t from, size_t count, size_t* stepped) {
    size_t i = from;
    size_t k = 0;
    while (k < count && i < len) {
        if (count - k >= 8 && len - i >= 8 && ascii8(s + i)) {
            i += 8;
            k += 8;
            continue;
        }
        i += utf8_char_length(static_cast<unsigned char>(s[i]));
        ++k;
    }
    if (stepped) *stepped = k;
    return i > len ? len : i;
}

size_t utf8_offset(const char* s, size_t len, size_t index) { return utf8_advance(s, len, 0, index, nullptr); }

size_t utf8_count(const char* s, size_t len) {
    size_t k = 0;
    step_to(s, len, 0, len, &k);
    return k;
}

size_t utf8_count_between(const char* s, size_t len, size_t from, size_t to) {
    size_t k = 0;
    step_to(s, len, from, to, &k);
    return k;
}

size_t utf8_encode(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

[[noreturn]] void string_too_long() { report_error(1400, "メモリ領域を取得できません"); }

ValueWord string_with_space(uint64_t len, char** text) {
    if (len >= STRING_BYTES_LIMIT + 1) string_too_long();
    void* mem = nullptr;
    uint32_t addr = area_alloc(static_cast<size_t>(len) + 12, &mem);
    char* dst = static_cast<char*>(mem);
    dst[len] = '\0';
    ValueWord w;
    Cell* c = dw_alloc(TAG_STRING, &w, 0);
    str_addr(c) = addr;
    str_cap(c) = static_cast<uint32_t>(len + 8);
    str_len(c) = static_cast<uint32_t>(len);
    *text = dst;
    return w;
}

int64_t text_find(const char* hay, size_t hlen, size_t from, const char* needle, size_t nlen, size_t* chars) {
    size_t boundary = from;  // the character start at or after every rejected candidate
    size_t k = 0;
    size_t i = from;
    unsigned char first = static_cast<unsigned char>(needle[0]);
    while (i < hlen && hlen - i >= nlen) {
        const void* hit = std::memchr(hay + i, first, hlen - i - nlen + 1);
        if (hit == nullptr) return -1;
        size_t at = static_cast<size_t>(static_cast<const char*>(hit) - hay);
        if (std::memcmp(hay + at, needle, nlen) != 0) {
            i = at + 1;
            continue;
        }
        boundary = step_to(hay, hlen, boundary, at, &k);
        if (boundary == at) {
            if (chars) *chars = k;
            return static_cast<int64_t>(at);
        }
        // The match begins inside a character: go on from the next start.
        i = boundary;
    }
    return -1;
}

// ---- String methods ----

namespace {

const char MSG_NOT_INT[] = "引数不正(非整数)";
const char MSG_NOT_STRING[] = "引数不正(非文字列)";
const char MSG_NOT_NUMBER[] = "引数不正(非数値)";

// Characters and positions never exceed the 32-bit length field.
constexpr uint64_t POSITION_MAX = 0xFFFFFFFFu;

struct Text {
    const char* p;
    size_t n;
};

inline Text text_of(ValueWord s) {
    Cell* c = dw_cell(s);
    return {static_cast<const char*>(area_ptr(str_addr(c))), str_len(c)};
}

inline bool is_string(ValueWord w) { return word_tag(w) == TAG_STRING; }
inline bool is_int(ValueWord w) { return word_tag(w) == TAG_INT; }
inline int32_t int_of(ValueWord w) { return cell_int(dw_cell(w)); }

// Text form of any argument: a string as it is, any other value in its
// plain form (made in buf).
Text arg_text(ValueWord w, TextBuf& buf) {
    if (is_string(w)) return text_of(w);
    value_text(w, buf);
    return {buf.data ? buf.data : "", buf.len};
}

// A position given as an integer or as a float rounded down: negatives and
// NaN are 0, large values saturate (callers cap at the length by stepping).
// False for any other kind.
bool number_position(ValueWord w, uint64_t* out) {
    if (is_int(w)) {
        int32_t v = int_of(w);
        *out = v < 0 ? 0 : static_cast<uint64_t>(v);
        return true;
    }
    if (word_tag(w) == TAG_FLOAT) {
        double d = std::floor(cell_float(dw_cell(w)));
        if (!(d > 0)) {
            *out = 0;
        } else if (d >= static_cast<double>(POSITION_MAX)) {
            *out = POSITION_MAX;
        } else {
            *out = static_cast<uint64_t>(d);
        }
        return true;
    }
    return false;
}

ValueWord new_string(const char* p, size_t n) {
    if (n > STRING_BYTES_LIMIT) string_too_long();
    return make_string(p, n);
}

ValueWord empty_string() { return make_string("", 0); }

// The one character at character position `pos` (an argument word, or
// none): false when out of range.
bool char_at(ValueWord recv, ValueWord* args, int argc, Text* out) {
    Text t = text_of(recv);
    int64_t pos = argc > 0 && is_int(args[0]) ? int_of(args[0]) : 0;
    if (pos < 0) return false;
    size_t stepped = 0;
    size_t off = utf8_advance(t.p, t.n, 0, static_cast<size_t>(pos), &stepped);
    if (stepped < static_cast<size_t>(pos) || off >= t.n) return false;
    size_t clen = utf8_char_length(static_cast<unsigned char>(t.p[off]));
    if (clen > t.n - off) clen = t.n - off;
    *out = {t.p + off, clen};
    return true;
}

ValueWord string_char_at(ValueWord recv, ValueWord* args, int argc) {
    Text c;
    if (!char_at(recv, args, argc, &c)) return empty_string();
    return make_string(c.p, c.n);
}

ValueWord string_char_code_at(ValueWord recv, ValueWord* args, int argc) {
    Text c;
    if (!char_at(recv, args, argc, &c)) return W_NAN;
    uint16_t wide[8];
    size_t units = MultiToWide(c.p, c.n, wide, 8);
    return int_value(units > 0 ? wide[0] : 0);
}

ValueWord string_concat(ValueWord recv, ValueWord* args, int argc) {
    Text t = text_of(recv);
    uint64_t total = t.n;
    bool all_strings = true;
    for (int i = 0; i < argc; ++i) {
        if (is_string(args[i])) {
            total += string_length(args[i]);
        } else {
            all_strings = false;
        }
    }
    if (total > STRING_BYTES_LIMIT) string_too_long();
    if (all_strings) {
        char* out;
        ValueWord w = string_with_space(total, &out);
        std::memcpy(out, t.p, t.n);
        size_t at = t.n;
        for (int i = 0; i < argc; ++i) {
            Text a = text_of(args[i]);
            std::memcpy(out + at, a.p, a.n);
            at += a.n;
        }
        return w;
    }
    TextBuf buf;
    textbuf_append(buf, t.p, t.n);
    for (int i = 0; i < argc; ++i) {
        if (is_string(args[i])) {
            Text a = text_of(args[i]);
            if (buf.len + a.n > STRING_BYTES_LIMIT) string_too_long();
            textbuf_append(buf, a.p, a.n);
        } else {
            value_text(args[i], buf);
            if (buf.len > STRING_BYTES_LIMIT) string_too_long();
        }
    }
    return new_string(buf.data, buf.len);
}

ValueWord string_index_of(ValueWord recv, ValueWord* args, int argc) {
    if (argc > 1 && !is_int(args[1])) report_error(2700, "%s", MSG_NOT_INT);
    Text t = text_of(recv);
    TextBuf buf;
    Text s = arg_text(args[0], buf);
    int32_t from = argc > 1 ? int_of(args[1]) : 0;
    if (from < 0) from = 0;
    size_t from_chars = 0;
    size_t off = utf8_advance(t.p, t.n, 0, static_cast<size_t>(from), &from_chars);
    if (s.n == 0) return int_value(static_cast<int32_t>(from_chars));
    size_t k = 0;
    int64_t at = text_find(t.p, t.n, off, s.p, s.n, &k);
    if (at < 0) return int_value(-1);
    return int_value(static_cast<int32_t>(from_chars + k));
}

ValueWord string_last_index_of(ValueWord recv, ValueWord* args, int argc) {
    if (argc > 1 && !is_int(args[1])) report_error(2705, "%s", MSG_NOT_INT);
    Text t = text_of(recv);
    TextBuf buf;
    Text s = arg_text(args[0], buf);
    size_t length = utf8_count(t.p, t.n);
    size_t from = length;
    if (argc > 1) {
        int32_t v = int_of(args[1]);
        from = v < 0 ? 0 : (static_cast<size_t>(v) > length ? length : static_cast<size_t>(v));
    }
    if (s.n == 0) return int_value(static_cast<int32_t>(from));
    // Non-overlapping occurrences from the start; the last one that begins
    // at or before `from` counts.
    int64_t last = -1;
    size_t pos = 0;
    size_t chars = 0;
    while (pos < t.n) {
        size_t k = 0;
        int64_t at = text_find(t.p, t.n, pos, s.p, s.n, &k);
        if (at < 0) break;
        size_t index = chars + k;
        if (index > from) break;
        last = static_cast<int64_t>(index);
        size_t after = 0;
        pos = step_to(t.p, t.n, static_cast<size_t>(at), static_cast<size_t>(at) + s.n, &after);
        chars = index + after;
    }
    return int_value(static_cast<int32_t>(last));
}

ValueWord change_case(ValueWord recv, char lo, char hi, int delta) {
    Text t = text_of(recv);
    char* out;
    ValueWord w = string_with_space(t.n, &out);
    for (size_t i = 0; i < t.n; ++i) {
        char c = t.p[i];
        out[i] = (c >= lo && c <= hi) ? static_cast<char>(c + delta) : c;
    }
    return w;
}

ValueWord string_to_upper_case(ValueWord recv, ValueWord*, int) { return change_case(recv, 'a', 'z', 'A' - 'a'); }
ValueWord string_to_lower_case(ValueWord recv, ValueWord*, int) { return change_case(recv, 'A', 'Z', 'a' - 'A'); }

// Characters [a, b) of the receiver (a <= b, both character positions,
// capped by stepping).
ValueWord char_range(ValueWord recv, size_t a, size_t b) {
    Text t = text_of(recv);
    if (b <= a) return empty_string();
    size_t start = utf8_offset(t.p, t.n, a);
    size_t end = utf8_advance(t.p, t.n, start, b - a, nullptr);
    return make_string(t.p + start, end - start);
}

ValueWord string_substr(ValueWord recv, ValueWord* args, int argc) {
    int64_t start = is_int(args[0]) ? int_of(args[0]) : 0;
    int64_t count;
    if (argc < 2) {
        count = static_cast<int64_t>(POSITION_MAX);
    } else {
        count = is_int(args[1]) ? int_of(args[1]) : 0;
    }
    if (count <= 0) return empty_string();
    if (start < 0) {
        Text t = text_of(recv);
        start += static_cast<int64_t>(utf8_count(t.p, t.n));
        if (start < 0) start = 0;
    }
    return char_range(recv, static_cast<size_t>(start), static_cast<size_t>(start + count));
}

ValueWord string_substring(ValueWord recv, ValueWord* args, int argc) {
    auto pos = [](ValueWord w) -> int64_t {
        if (!is_int(w)) return 0;
        int32_t v = int_of(w);
        return v < 0 ? 0 : v;
    };
    int64_t a = pos(args[0]);
    int64_t b = argc > 1 ? pos(args[1]) : static_cast<int64_t>(POSITION_MAX);
    if (a > b) std::swap(a, b);
    return char_range(recv, static_cast<size_t>(a), static_cast<size_t>(b));
}

ValueWord string_slice(ValueWord recv, ValueWord* args, int argc) {
    if (argc > 1 && !is_int(args[1])) report_error(2710, "%s", MSG_NOT_INT);
    if (!is_int(args[0])) report_error(2715, "%s", MSG_NOT_INT);
    int64_t start = int_of(args[0]);
    int64_t end = argc > 1 ? int_of(args[1]) : static_cast<int64_t>(POSITION_MAX);
    if (start < 0 || end < 0) {
        Text t = text_of(recv);
        int64_t length = static_cast<int64_t>(utf8_count(t.p, t.n));
        if (start < 0) start = std::max<int64_t>(start + length, 0);
        if (end < 0) end += length;
    }
    if (end - start <= 0) return empty_string();
    return char_range(recv, static_cast<size_t>(start), static_cast<size_t>(end));
}

inline bool is_space(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Trim family: a receiver nobody holds is shortened in place; any other
// gets a new string, so a variable's or container's text never changes.
ValueWord trim(ValueWord recv, bool front, bool back) {
    Text t = text_of(recv);
    size_t a = 0;
    size_t b = t.n;
    if (front) {
        while (a < b && is_space(t.p[a])) ++a;
    }
    if (back) {
        while (b > a && is_space(t.p[b - 1])) --b;
    }
    if (is_unheld(recv)) {
        Cell* c = dw_cell(recv);
        char* p = static_cast<char*>(area_ptr(str_addr(c)));
        if (a > 0) std::memmove(p, p + a, b - a);
        p[b - a] = '\0';
        str_len(c) = static_cast<uint32_t>(b - a);
        return recv;
    }
    return make_string(t.p + a, b - a);
}

ValueWord string_trim(ValueWord recv, ValueWord*, int) { return trim(recv, true, true); }
ValueWord string_trim_start(ValueWord recv, ValueWord*, int) { return trim(recv, true, false); }
ValueWord string_trim_end(ValueWord recv, ValueWord*, int) { return trim(recv, false, true); }

// padStart / padEnd. A receiver that is long enough is returned itself
// (the dispatch holds it while the arguments are released).
ValueWord pad(ValueWord recv, ValueWord* args, int argc, bool at_end, int code_len, int code_pad) {
    if (!is_int(args[0])) report_error(code_len, "%s", MSG_NOT_INT);
    if (argc > 1 && !is_string(args[1])) report_error(code_pad, "%s", MSG_NOT_STRING);
    Text t = text_of(recv);
    Text fill = {" ", 1};
    if (argc > 1 && string_length(args[1]) > 0) fill = text_of(args[1]);
    int64_t target = int_of(args[0]);
    int64_t have = static_cast<int64_t>(utf8_count(t.p, t.n));
    if (have >= target) return recv;
    uint64_t missing = static_cast<uint64_t>(target - have);
    uint64_t fill_chars = utf8_count(fill.p, fill.n);
    uint64_t whole = missing / fill_chars;
    size_t rest = utf8_offset(fill.p, fill.n, static_cast<size_t>(missing % fill_chars));
    uint64_t pad_bytes = whole * fill.n + rest;
    uint64_t total = t.n + pad_bytes;
    if (total > STRING_BYTES_LIMIT) string_too_long();
    char* out;
    ValueWord w = string_with_space(total, &out);
    char* q = at_end ? out + t.n : out;
    for (uint64_t i = 0; i < whole; ++i) {
        std::memcpy(q, fill.p, fill.n);
        q += fill.n;
    }
    std::memcpy(q, fill.p, rest);
    std::memcpy(at_end ? out : out + pad_bytes, t.p, t.n);
    return w;
}

ValueWord string_pad_end(ValueWord recv, ValueWord* args, int argc) { return pad(recv, args, argc, true, 2760, 2765); }
ValueWord string_pad_start(ValueWord recv, ValueWord* args, int argc) {
    return pad(recv, args, argc, false, 2770, 2775);
}

ValueWord string_repeat(ValueWord recv, ValueWord* args, int) {
    ValueWord a = args[0];
    double count;
    if (is_int(a)) {
        count = int_of(a);
    } else if (word_tag(a) == TAG_FLOAT) {
        count = std::floor(cell_float(dw_cell(a)));
        if (std::isnan(count)) report_error(2795, "%s", MSG_NOT_NUMBER);
    } else {
        report_error(2795, "%s", MSG_NOT_NUMBER);
    }
    if (count < 0) report_error(2800, "引数不正(負数)");
    Text t = text_of(recv);
    if (t.n == 0 || count == 0) return empty_string();
    // Compared as a double before any conversion: an infinite or huge count
    // fails here instead of wrapping.
    if (count * static_cast<double>(t.n) > static_cast<double>(STRING_BYTES_LIMIT)) string_too_long();
    uint64_t times = static_cast<uint64_t>(count);
    char* out;
    ValueWord w = string_with_space(times * t.n, &out);
    if (t.n == 1) {
        std::memset(out, t.p[0], static_cast<size_t>(times));
        return w;
    }
    // Doubling copies: log(times) memcpy calls.
    std::memcpy(out, t.p, t.n);
    uint64_t done = t.n;
    uint64_t total = times * t.n;
    while (done < total) {
        uint64_t n = done < total - done ? done : total - done;
        std::memcpy(out + done, out, static_cast<size_t>(n));
        done += n;
    }
    return w;
}

// includes / startsWith: the position is checked before the search text.
bool search_start(ValueWord recv, ValueWord* args, int argc, int code_pos, int code_text, size_t* off, Text* s) {
    uint64_t pos = 0;
    if (argc > 1 && !number_position(args[1], &pos)) report_error(code_pos, "%s", MSG_NOT_NUMBER);
    if (!is_string(args[0])) report_error(code_text, "%s", MSG_NOT_STRING);
    Text t = text_of(recv);
    *s = text_of(args[0]);
    *off = utf8_advance(t.p, t.n, 0, static_cast<size_t>(pos), nullptr);
    return s->n == 0;
}

ValueWord string_includes(ValueWord recv, ValueWord* args, int argc) {
    size_t off;
    Text s;
    if (search_start(recv, args, argc, 2780, 2785, &off, &s)) return W_TRUE;
    Text t = text_of(recv);
    return text_find(t.p, t.n, off, s.p, s.n) >= 0 ? W_TRUE : W_FALSE;
}

ValueWord string_starts_with(ValueWord recv, ValueWord* args, int argc) {
    size_t off;
    Text s;
    if (search_start(recv, args, argc, 2805, 2810, &off, &s)) return W_TRUE;
    Text t = text_of(recv);
    return t.n - off >= s.n && std::memcmp(t.p + off, s.p, s.n) == 0 ? W_TRUE : W_FALSE;
}

ValueWord string_ends_with(ValueWord recv, ValueWord* args, int argc) {
    if (!is_string(args[0])) report_error(2815, "%s", MSG_NOT_STRING);
    Text t = text_of(recv);
    Text s = text_of(args[0]);
    size_t end;
    if (argc > 1) {
        uint64_t pos = 0;
        if (!number_position(args[1], &pos)) pos = 0;
        utf8_advance(t.p, t.n, 0, static_cast<size_t>(pos), &end);
    } else {
        end = utf8_count(t.p, t.n);
    }
    if (s.n == 0) return W_TRUE;
    size_t sc = utf8_count(s.p, s.n);
    if (sc > end) return W_FALSE;
    size_t off = utf8_offset(t.p, t.n, end - sc);
    return t.n - off >= s.n && std::memcmp(t.p + off, s.p, s.n) == 0 ? W_TRUE : W_FALSE;
}

ValueWord string_locale_compare(ValueWord, ValueWord*, int) {
    report_error(2787, "関数 localeCompare は実装されていません。");
}

// A RegExp pattern goes to the RegExp engine's form of the method.
ValueWord regexp_form(MethodRoutine routine, ValueWord recv, ValueWord* args, int argc) {
    if (!routine) not_available(4600, "RegExp");
    return routine(recv, args, argc);
}

ValueWord string_replace(ValueWord recv, ValueWord* args, int argc) {
    if (word_tag(args[0]) == TAG_REGEXP) return regexp_form(g_regexp_replace, recv, args, argc);
    if (!is_string(args[1])) report_error(2720, "%s", MSG_NOT_STRING);
    if (!is_string(args[0])) report_error(2725, "%s", MSG_NOT_STRING);
    Text t = text_of(recv);
    Text p = text_of(args[0]);
    Text r = text_of(args[1]);
    int64_t at = p.n == 0 ? 0 : text_find(t.p, t.n, 0, p.p, p.n);
    // No occurrence: the receiver itself (held by the dispatch meanwhile).
    if (at < 0) return recv;
    size_t a = static_cast<size_t>(at);
    uint64_t total = static_cast<uint64_t>(t.n) - p.n + r.n;
    char* out;
    ValueWord w = string_with_space(total, &out);
    std::memcpy(out, t.p, a);
    std::memcpy(out + a, r.p, r.n);
    std::memcpy(out + a + r.n, t.p + a + p.n, t.n - a - p.n);
    return w;
}

ValueWord string_replace_all(ValueWord recv, ValueWord* args, int argc) {
    if (word_tag(args[0]) == TAG_REGEXP) return regexp_form(g_regexp_replace_all, recv, args, argc);
    if (!is_string(args[1])) report_error(2730, "%s", MSG_NOT_STRING);
    if (!is_string(args[0])) report_error(2735, "%s", MSG_NOT_STRING);
    Text t = text_of(recv);
    Text p = text_of(args[0]);
    Text r = text_of(args[1]);
    if (p.n == 0) {
        // The replacement before every character and at the end.
        uint64_t chars = utf8_count(t.p, t.n);
        uint64_t total = t.n + (chars + 1) * r.n;
        if (total > STRING_BYTES_LIMIT) string_too_long();
        char* out;
        ValueWord w = string_with_space(total, &out);
        size_t i = 0;
        char* q = out;
        while (true) {
            std::memcpy(q, r.p, r.n);
            q += r.n;
            if (i >= t.n) break;
            size_t next = i + utf8_char_length(static_cast<unsigned char>(t.p[i]));
            if (next > t.n) next = t.n;
            std::memcpy(q, t.p + i, next - i);
            q += next - i;
            i = next;
        }
        return w;
    }
    // First pass: count the occurrences; second pass: fill.
    uint64_t count = 0;
    for (size_t pos = 0; pos < t.n;) {
        int64_t at = text_find(t.p, t.n, pos, p.p, p.n);
        if (at < 0) break;
        ++count;
        size_t k = 0;
        pos = step_to(t.p, t.n, static_cast<size_t>(at), static_cast<size_t>(at) + p.n, &k);
    }
    if (count == 0) return recv;
    uint64_t total = t.n - count * p.n + count * r.n;
    if (total > STRING_BYTES_LIMIT) string_too_long();
    char* out;
    ValueWord w = string_with_space(total, &out);
    char* q = out;
    size_t copied = 0;
    for (size_t pos = 0; pos < t.n;) {
        int64_t at = text_find(t.p, t.n, pos, p.p, p.n);
        if (at < 0) break;
        size_t a = static_cast<size_t>(at);
        std::memcpy(q, t.p + copied, a - copied);
        q += a - copied;
        std::memcpy(q, r.p, r.n);
        q += r.n;
        copied = a + p.n;
        size_t k = 0;
        pos = step_to(t.p, t.n, a, a + p.n, &k);
    }
    std::memcpy(q, t.p + copied, t.n - copied);
    return w;
}

// A new Array of new strings, one per (offset, length) piece of text.
ValueWord array_of_pieces(const char* text, const std::vector<uint32_t>& pieces) {
    size_t n = pieces.size() / 2;
    ValueWord arr;
    dw_alloc(TAG_ARRAY, &arr, 0);
    void* mem = nullptr;
    uint32_t addr = area_alloc(4 * (n + 10), &mem);
    AreaWord* elems = static_cast<AreaWord*>(mem);
    Cell* c = dw_cell(arr);
    arr_addr(c) = addr;
    arr_cap(c) = static_cast<uint32_t>(n + 10);
    arr_count(c) = 0;
    for (size_t i = 0; i < n; ++i) {
        elems[i] = value_retain(make_string(text + pieces[2 * i], pieces[2 * i + 1]));
        arr_count(dw_cell(arr)) = static_cast<uint32_t>(i + 1);
    }
    return arr;
}

ValueWord string_split(ValueWord recv, ValueWord* args, int argc) {
    Text t = text_of(recv);
    std::vector<uint32_t> pieces;
    if (argc == 0) {
        pieces = {0, static_cast<uint32_t>(t.n)};
        return array_of_pieces(t.p, pieces);
    }
    if (word_tag(args[0]) == TAG_REGEXP) return regexp_form(g_regexp_split, recv, args, argc);
    if (argc > 1 && !is_int(args[1])) report_error(2740, "%s", MSG_NOT_INT);
    int64_t limit = argc > 1 ? int_of(args[1]) : 16777215;
    if (limit <= 0) return array_of_pieces(t.p, pieces);
    TextBuf buf;
    Text s = arg_text(args[0], buf);
    uint64_t limit_u = static_cast<uint64_t>(limit);
    auto add = [&pieces](size_t at, size_t len) {
        pieces.push_back(static_cast<uint32_t>(at));
        pieces.push_back(static_cast<uint32_t>(len));
    };
    if (s.n == 0) {
        for (size_t i = 0; i < t.n && pieces.size() / 2 < limit_u;) {
            size_t next = i + utf8_char_length(static_cast<unsigned char>(t.p[i]));
            if (next > t.n) next = t.n;
            add(i, next - i);
            i = next;
        }
        return array_of_pieces(t.p, pieces);
    }
    size_t start = 0;
    size_t pos = 0;
    while (pieces.size() / 2 < limit_u) {
        int64_t at = pos < t.n ? text_find(t.p, t.n, pos, s.p, s.n) : -1;
        if (at < 0) {
            add(start, t.n - start);
            break;
        }
        size_t a = static_cast<size_t>(at);
        add(start, a - start);
        start = a + s.n;
        size_t k = 0;
        pos = step_to(t.p, t.n, a, a + s.n, &k);
    }
    return array_of_pieces(t.p, pieces);
}

// ---- Static String methods ----

ValueWord string_from_codes(ValueWord* args, int argc, uint32_t max, int code_type, int code_range,
                            const char* range_msg) {
    TextBuf buf;
    for (int i = 0; i < argc; ++i) {
        if (!is_int(args[i])) report_error(code_type, "String.fromCharCodeの引数不正(非整数)");
        int32_t v = int_of(args[i]);
        if (v < 0 || static_cast<uint32_t>(v) > max) report_error(code_range, "%s", range_msg);
        char bytes[4];
        textbuf_append(buf, bytes, utf8_encode(static_cast<uint32_t>(v), bytes));
    }
    return make_string(buf.data ? buf.data : "", buf.len);
}

ValueWord string_from_char_code(ValueWord, ValueWord* args, int argc) {
    return string_from_codes(args, argc, 0xFFFF, 2400, 2405, "String.fromCharCodeの引数不正(UTF16の範囲外)");
}

ValueWord string_from_code_point(ValueWord, ValueWord* args, int argc) {
    return string_from_codes(args, argc, 0x10FFFF, 2410, 2415, "String.fromCharCodeの引数不正(ユニコードの範囲外)");
}

}  // namespace

void register_string_builtins() {
    MethodTable& t = g_string_methods;
    method_install(t, "charAt", string_char_at);
    method_install(t, "charCodeAt", string_char_code_at);
    method_install(t, "concat", string_concat);
    method_install(t, "indexOf", string_index_of);
    method_install(t, "lastIndexOf", string_last_index_of);
    method_install(t, "toUpperCase", string_to_upper_case);
    method_install(t, "toLowerCase", string_to_lower_case);
    method_install(t, "substr", string_substr);
    method_install(t, "substring", string_substring);
    method_install(t, "split", string_split);
    method_install(t, "slice", string_slice);
    method_install(t, "replace", string_replace);
    method_install(t, "replaceAll", string_replace_all);
    method_install(t, "includes", string_includes);
    method_install(t, "localeCompare", string_locale_compare);
    method_install(t, "padEnd", string_pad_end);
    method_install(t, "padStart", string_pad_start);
    method_install(t, "repeat", string_repeat);
    method_install(t, "startsWith", string_starts_with);
    method_install(t, "trim", string_trim);
    method_install(t, "trimStart", string_trim_start);
    method_install(t, "trimEnd", string_trim_end);
    method_install(t, "endsWith", string_ends_with);
    method_install(t, "trimLeft", string_trim_start);
    method_install(t, "trimRight", string_trim_end);
    method_install(g_string_static_methods, "fromCharCode", string_from_char_code);
    method_install(g_string_static_methods, "fromCodePoint", string_from_code_point);
}

}  // namespace velt
