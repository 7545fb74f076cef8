// Math, the Number statics, the conversions Number(x) and String(x), and
// the global parseInt and parseFloat.
//
// A Math or Number routine that cannot work on its argument answers NaN;
// only Number(x) raises an error (2335). A routine that answers one of its
// arguments returns that word: the call routine holds it while the
// arguments are released and hands it over.
#include <charconv>
#include <cmath>
#include <cstring>

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "platform/platform.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

// parseInt and parseFloat read at most this many bytes of a string (the
// text of the original's fixed work buffer).
constexpr size_t PARSE_TEXT_MAX = 4095;

inline bool is_number(ValueWord w) {
    uint32_t t = word_tag(w);
    return t == TAG_INT || t == TAG_FLOAT;
}

inline double number_of(ValueWord w) {
    Cell* c = dw_cell(w);
    return word_tag(w) == TAG_INT ? static_cast<double>(cell_int(c)) : cell_float(c);
}

// A float result: NaN is the NaN value, anything else a new float.
inline ValueWord float_result(double d) { return std::isnan(d) ? W_NAN : new_float(d); }

// A whole-valued result: an integer when it fits 32 bits, else a float
// holding the whole value (infinities included); NaN gives NaN.
ValueWord whole_result(double d) {
    if (std::isnan(d)) return W_NAN;
    if (d >= -2147483648.0 && d <= 2147483647.0) return int_value(static_cast<int32_t>(d));
    return new_float(d);
}

// ---- Math ----

ValueWord math_abs(ValueWord, ValueWord* args, int) {
    ValueWord x = args[0];
    if (word_tag(x) == TAG_INT) {
        int32_t v = cell_int(dw_cell(x));
        if (v >= 0) return x;
        if (v == INT32_MIN) return new_float(2147483648.0);
        return int_value(-v);
    }
    if (word_tag(x) == TAG_FLOAT) {
        double d = cell_float(dw_cell(x));
        if (!std::signbit(d)) return x;
        return float_result(std::fabs(d));
    }
    return W_NAN;
}

// ceil, floor, trunc and round share their argument rules.
template <double (*Round)(double)>
ValueWord math_rounding(ValueWord, ValueWord* args, int) {
    ValueWord x = args[0];
    if (x == W_NULL) return int_value(0);
    if (word_tag(x) == TAG_INT) return x;
    if (word_tag(x) == TAG_FLOAT) return whole_result(Round(cell_float(dw_cell(x))));
    return W_NAN;
}

double round_ceil(double d) { return std::ceil(d); }
double round_floor(double d) { return std::floor(d); }
double round_trunc(double d) { return std::trunc(d); }
double round_half_away(double d) { return std::round(d); }

// The C runtime generator's values 0 to 32767 divided by 32768, so the
// result lies in [0, 1); seeded with the time on first use in a run.
bool g_random_seeded = false;

ValueWord math_random(ValueWord, ValueWord*, int) {
    if (!g_random_seeded) {
        platform::ms_srand(static_cast<uint32_t>(platform::time_now()));
        g_random_seeded = true;
    }
    return new_float(platform::ms_rand() / 32768.0);
}

ValueWord math_pow(ValueWord, ValueWord* args, int) {
    ValueWord b = args[0], e = args[1];
    if (!is_number(b) || !is_number(e)) return W_NAN;
    double base = number_of(b), exponent = number_of(e);
    if (exponent == 0.0) return int_value(1);
    if (base == 0.0) return int_value(0);
    if (base < 0.0 && exponent < 1.0) return W_NAN;
    double r = std::pow(base, exponent);
    if (word_tag(b) == TAG_INT && word_tag(e) == TAG_INT && exponent >= 1.0) return whole_result(r);
    return float_result(r);
}

// min and max: every argument must be a number; ties keep the first, a NaN
// never replaces the current best. The winner's own word is the result.
template <bool Max>
ValueWord math_extreme(ValueWord, ValueWord* args, int argc) {
    for (int i = 0; i < argc; ++i) {
        if (!is_number(args[i])) return W_NAN;
    }
    ValueWord best = args[0];
    double bv = number_of(best);
    for (int i = 1; i < argc; ++i) {
        double v = number_of(args[i]);
        if (Max ? v > bv : v < bv) {
            best = args[i];
            bv = v;
        }
    }
    return best;
}

// ---- Text preparation of parseInt and parseFloat ----

// The text a parse routine reads: a string's first 4,095 bytes or the
// plain form of any other value, without leading and trailing spaces and
// TABs. The text lives in `buf` (NUL-terminated).
struct ParseText {
    TextBuf buf;
    const char* p = nullptr;
    const char* end = nullptr;
};

void prepare_parse_text(ValueWord x, ParseText& t) {
    if (word_tag(x) == TAG_STRING) {
        size_t n = string_length(x);
        if (n > PARSE_TEXT_MAX) n = PARSE_TEXT_MAX;
        textbuf_append(t.buf, string_text(x), n);
    } else {
        value_text(x, t.buf);
        textbuf_append(t.buf, "", 0);
    }
    const char* p = t.buf.data;
    const char* end = p + t.buf.len;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
    t.p = p;
    t.end = end;
}

inline int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

ValueWord parse_int_value(ValueWord x, const ValueWord* radix_arg) {
    ParseText t;
    prepare_parse_text(x, t);
    const char* p = t.p;
    const char* end = t.end;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    int radix = 10;
    if (radix_arg != nullptr) {
        if (word_tag(*radix_arg) != TAG_INT) return W_NAN;
        int32_t r = cell_int(dw_cell(*radix_arg));
        if (r < 2 || r > 36) return W_NAN;
        radix = r;
    } else if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        radix = 16;
        p += 2;
    }
    // Accumulated exactly while it fits 64 bits, then as a double; a value
    // beyond the 32-bit range becomes a float.
    uint64_t v = 0;
    double d = 0.0;
    bool big = false;
    const char* digits = p;
    for (; p < end; ++p) {
        int dv = digit_value(*p);
        if (dv >= radix) break;
        if (!big && v > (UINT64_MAX >> 6)) {
            big = true;
            d = static_cast<double>(v);
        }
        if (big) d = d * radix + dv;
        else v = v * static_cast<uint64_t>(radix) + static_cast<uint64_t>(dv);
    }
    if (p == digits) return W_NAN;
    if (!big && v <= (negative ? 2147483648u : 2147483647u)) {
        int64_t s = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return int_value(static_cast<int32_t>(s));
    }
    if (!big) d = static_cast<double>(v);
    return new_float(negative ? -d : d);
}

inline bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// strtod as the C locale reads: leading white space, an optional sign,
// then decimal or hexadecimal digits, an exponent, "inf", "infinity" or
// "nan", whatever the environment's locale. False when nothing converts.
bool read_c_double(const char* p, const char* end, double* out) {
    while (p < end && is_c_space(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || *p == '+' || *p == '-') return false;
    double d = 0.0;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        const char* h = p + 2;
        bool digits = h < end && (is_hex_digit(*h) || (*h == '.' && h + 1 < end && is_hex_digit(h[1])));
        auto res = digits ? std::from_chars(h, end, d, std::chars_format::hex) : std::from_chars_result{h, std::errc::invalid_argument};
        if (res.ec == std::errc::invalid_argument) d = 0.0;  // "0x" without digits reads as 0
        else if (res.ec == std::errc::result_out_of_range) d = HUGE_VAL;
    } else {
        auto res = std::from_chars(p, end, d, std::chars_format::general);
        if (res.ec == std::errc::invalid_argument) return false;
        if (res.ec == std::errc::result_out_of_range) {
            // Overflow gives infinity, underflow zero, as strtod.
            const char* q = p;
            while (q < end && *q != 'e' && *q != 'E') ++q;
            d = (q + 1 < end && q[1] == '-') ? 0.0 : HUGE_VAL;
        }
    }
    *out = negative ? -d : d;
    return true;
}

ValueWord parse_float_value(ValueWord x) {
    ParseText t;
    prepare_parse_text(x, t);
    double d;
    if (!read_c_double(t.p, t.end, &d)) return W_NAN;
    return float_result(d);
}

// ---- Number statics ----

ValueWord number_parse_int(ValueWord, ValueWord* args, int argc) {
    return parse_int_value(args[0], argc > 1 ? &args[1] : nullptr);
}

ValueWord number_parse_float(ValueWord, ValueWord* args, int) { return parse_float_value(args[0]); }

// A float counts as whole when its "%.10f" text has only zeros after the
// point (within 0.5e-10 of a whole number). Infinities and NaN are not.
ValueWord number_is_integer(ValueWord, ValueWord* args, int) {
    ValueWord x = args[0];
    if (word_tag(x) == TAG_INT) return W_TRUE;
    if (word_tag(x) != TAG_FLOAT) return W_FALSE;
    double d = cell_float(dw_cell(x));
    if (!std::isfinite(d)) return W_FALSE;
    char text[400];
    std::snprintf(text, sizeof text, "%.10f", d);
    const char* point = std::strchr(text, '.');
    if (point == nullptr) return W_TRUE;
    for (const char* q = point + 1; *q; ++q) {
        if (*q != '0') return W_FALSE;
    }
    return W_TRUE;
}

// ---- Conversions ----

[[noreturn]] void number_argument_error() { report_error(2335, "Numberの引数不正"); }

// The end of a number in the syntax of number literals starting at p
// ("0x" and hex digits; digits with an optional point, fraction and
// exponent; a point and fraction digits with an optional exponent), or
// null when p starts none. Checked here so that read_number never meets
// text it refuses.
const char* number_literal_end(const char* p, const char* end) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (end - p >= 3 && p[0] == '0' && p[1] == 'x' && is_hex_digit(p[2])) {
        p += 2;
        while (p < end && is_hex_digit(*p)) ++p;
        return p;
    }
    if (p < end && *p == '.') {
        ++p;
        if (p == end || !digit(*p)) return nullptr;
    } else {
        if (p == end || !digit(*p)) return nullptr;
        while (p < end && digit(*p)) ++p;
        if (p < end && *p == '.') ++p;
    }
    while (p < end && digit(*p)) ++p;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !digit(*p)) return nullptr;
        while (p < end && digit(*p)) ++p;
    }
    return p;
}

ValueWord number_conversion(ValueWord* args, int argc) {
    if (argc == 0) return int_value(0);
    ValueWord x = args[0];
    switch (word_tag(x)) {
    case TAG_INT: return new_int(cell_int(dw_cell(x)));
    case TAG_FLOAT: return new_float(cell_float(dw_cell(x)));
    case TAG_STRING: {
        const char* p = string_text(x);
        const char* end = p + string_length(x);
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        const char* stop = number_literal_end(p, end);
        if (stop == nullptr || stop != end) number_argument_error();
        NumberRead n = read_number(&p, end);
        if (n.is_int) {
            int64_t v = negative ? -n.i : n.i;
            if (v >= INT32_MIN && v <= INT32_MAX) return new_int(static_cast<int32_t>(v));
            return new_float(static_cast<double>(v));
        }
        return new_float(negative ? -n.d : n.d);
    }
    default: number_argument_error();
    }
}

ValueWord string_conversion(ValueWord* args, int argc) {
    if (argc == 0) return make_string("", 0);
    TextBuf t;
    value_text(args[0], t);
    return make_string(t.data ? t.data : "", t.len);
}

// ---- Operation routines ----

// The evaluated operands of a conversion node, held while the routine
// runs and released afterwards; the result is held meanwhile, since it may
// be one of them.
struct HeldOperands {
    ValueWord v[2];
    int n = 0;
    ~HeldOperands() {
        for (int i = 0; i < n; ++i) value_release(v[i]);
    }
};

template <ValueWord (*Routine)(ValueWord* args, int argc)>
ValueWord op_conversion(Cell* node) {
    uint32_t count = node_operand_count(node);
    const AreaWord* ops = node_operand_words(node);
    HeldOperands a;
    for (uint32_t i = 0; i < count && i < 2; ++i) {
        a.v[i] = value_retain(evaluate(ops[i]));
        a.n = static_cast<int>(i) + 1;
    }
    ValueWord r = value_retain(Routine(a.v, a.n));
    for (int i = 0; i < a.n; ++i) value_release(a.v[i]);
    a.n = 0;
    value_unhold(r);
    return r;
}

ValueWord parse_int_op(ValueWord* args, int argc) {
    if (argc == 0) return W_NAN;
    return parse_int_value(args[0], argc > 1 ? &args[1] : nullptr);
}

ValueWord parse_float_op(ValueWord* args, int argc) {
    if (argc == 0) return W_NAN;
    return parse_float_value(args[0]);
}

}  // namespace

void register_math_builtins() {
    g_random_seeded = false;
    method_install(g_math_methods, "abs", math_abs);
    method_install(g_math_methods, "ceil", math_rounding<round_ceil>);
    method_install(g_math_methods, "floor", math_rounding<round_floor>);
    method_install(g_math_methods, "trunc", math_rounding<round_trunc>);
    method_install(g_math_methods, "round", math_rounding<round_half_away>);
    method_install(g_math_methods, "random", math_random);
    method_install(g_math_methods, "pow", math_pow);
    method_install(g_math_methods, "min", math_extreme<false>);
    method_install(g_math_methods, "max", math_extreme<true>);
    method_install(g_number_static_methods, "parseInt", number_parse_int);
    method_install(g_number_static_methods, "parseFloat", number_parse_float);
    method_install(g_number_static_methods, "isInteger", number_is_integer);
    g_number_conversion = number_conversion;
    g_string_conversion = string_conversion;
    g_op_table[171] = op_conversion<number_conversion>;
    g_op_table[172] = op_conversion<string_conversion>;
    g_op_table[177] = op_conversion<parse_float_op>;
    g_op_table[178] = op_conversion<parse_int_op>;
}

}  // namespace velt
