// Date: the constructor, date-text parsing, Date.now/parse/UTC, and the
// getters, setters and text forms of a Date value, all in local time.
//
// A Date is one cell: byte 1 month (bits 0-3) and zone mark (bit 4), byte 2
// hour, byte 3 day (bits 0-4) and weekday (bits 5-7), byte 4 minute, byte 5
// second, bytes 6-7 the year, bytes 8-11 milliseconds (bits 0-9), bytes
// 12-15 the unsigned seconds since 1970. The calendar fields are always the
// local breakdown of the seconds, by the zone rules of the date itself.
// Seconds before 1970 (5500) and beyond the 32-bit field (5520) are never
// stored; setters that fail leave their receiver unchanged.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "builtins/date.h"

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "parser/expr.h"
#include "platform/platform.h"
#include "values/areas.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

// Day names at 3d, month names at 21 + 3m.
const char ABBREVIATIONS[] = "SunMonTueWedThuFriSatJanFebMarAprMayJunJulAugSepOctNovDec";
// Full month names in fields of 10.
const char MONTH_NAMES[] =
    "January   February  March     April     May       June      July      August    September October   "
    "November  December  ";

const char MSG_BEFORE_1970[] = "Date関連ステートメント不正(1970/01/01以前の年月日)";
const char MSG_TEXT[] = "Dateで日付・時刻の文字列不正";
const char MSG_VALUE[] = "Dateで日付・時刻の値不正";
const char MSG_SETTER[] = "Dateのメソッド %s 引数不正";

// The largest year the parts accept (the seconds field ends in 2106
// anyway; later dates fail with 5520 when they are stored).
constexpr int32_t YEAR_MAX = 3000;
constexpr int64_t SECONDS_MAX = 0xFFFFFFFFLL;

// ---- The cell ----

struct DateFields {
    uint32_t seconds;
    int ms;
    bool zone;
};

uint32_t date_seconds(const Cell* c) { return c->d12; }
int date_ms(const Cell* c) { return static_cast<int>(c->d8 & 0x3FFu); }
bool date_zone(const Cell* c) { return (c->b1 & 0x10u) != 0; }
int date_month(const Cell* c) { return c->b1 & 0x0F; }
int date_hour(const Cell* c) { return c->b2; }
int date_day(const Cell* c) { return c->b3 & 0x1F; }
int date_weekday(const Cell* c) { return c->b3 >> 5; }
int date_minute(const Cell* c) { return static_cast<int>(c->d4 & 0xFFu); }
int date_second(const Cell* c) { return static_cast<int>((c->d4 >> 8) & 0xFFu); }
int date_year(const Cell* c) { return static_cast<int16_t>(c->d4 >> 16); }

// Checks seconds for the cell: before 1970 is 5500, beyond the 32-bit
// field 5520.
uint32_t storable_seconds(int64_t s) {
    if (s < 0) report_error(5500, "%s", MSG_BEFORE_1970);
    if (s > SECONDS_MAX) report_error(5520, "%s", MSG_VALUE);
    return static_cast<uint32_t>(s);
}

// Writes every field of the cell from seconds, milliseconds and the mark.
void fill_date(Cell* c, const DateFields& f) {
    std::tm tm;
    if (!platform::local_time(static_cast<int64_t>(f.seconds), &tm)) report_error(5500, "%s", MSG_BEFORE_1970);
    c->b1 = static_cast<uint8_t>((tm.tm_mon & 0x0F) | (f.zone ? 0x10 : 0));
    c->b2 = static_cast<uint8_t>(tm.tm_hour);
    c->b3 = static_cast<uint8_t>((tm.tm_mday & 0x1F) | ((tm.tm_wday & 7) << 5));
    uint32_t year = static_cast<uint16_t>(static_cast<int16_t>(tm.tm_year + 1900));
    c->d4 = static_cast<uint32_t>(tm.tm_min) | (static_cast<uint32_t>(tm.tm_sec) << 8) | (year << 16);
    c->d8 = static_cast<uint32_t>(f.ms) & 0x3FFu;
    c->d12 = f.seconds;
}

ValueWord make_date(const DateFields& f) {
    // Break down first: a failure then leaves no cell behind.
    Cell scratch{};
    fill_date(&scratch, f);
    ValueWord w;
    Cell* c = dw_alloc(TAG_DATE, &w, 0);
    uint8_t hdr = c->hdr;
    *c = scratch;
    c->hdr = hdr;
    return w;
}

// Seconds and milliseconds from an unnormalised millisecond count: the
// whole seconds carry, the rest stays 0-999.
void carry_ms(int64_t* seconds, int64_t* ms) {
    int64_t q = *ms / 1000;
    int64_t r = *ms % 1000;
    if (r < 0) {
        r += 1000;
        --q;
    }
    *seconds += q;
    *ms = r;
}

double time_value(int64_t seconds, int64_t ms) { return static_cast<double>(seconds) * 1000.0 + static_cast<double>(ms); }

// ---- Parts ----

// Local (or UTC) calendar parts to seconds. Fields that overflow carry;
// a time the C runtime cannot represent is 5520.
int64_t parts_to_seconds(int year, int month, int day, int hour, int minute, int second, bool utc) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    int64_t s;
    bool ok = utc ? platform::utc_to_seconds(&tm, &s) : platform::local_to_seconds(&tm, &s);
    if (!ok) report_error(5520, "%s", MSG_VALUE);
    return s;
}

// Constructor parts and Date.UTC: year, month, day, hours, minutes,
// seconds, milliseconds; each an integer of 0 or more. Gives seconds and
// the carried milliseconds.
void date_from_parts(const ValueWord* args, int argc, bool utc, int64_t* seconds, int64_t* ms) {
    int32_t p[7] = {0, 0, 1, 0, 0, 0, 0};
    for (int i = 0; i < argc && i < 7; ++i) {
        if (word_tag(args[i]) != TAG_INT) report_error(5520, "%s", MSG_VALUE);
        int32_t v = cell_int(dw_cell(args[i]));
        if (v < 0) report_error(5520, "%s", MSG_VALUE);
        p[i] = v;
    }
    int32_t year = p[0];
    if (year > YEAR_MAX) report_error(5520, "%s", MSG_VALUE);
    if (year < 100) year += 1900;
    if (year < 1970 || p[2] < 1) report_error(5505, "%s", MSG_BEFORE_1970);
    int64_t s = parts_to_seconds(year, p[1], p[2], p[3], p[4], p[5], utc);
    int64_t m = p[6];
    carry_ms(&s, &m);
    if (s < 0) report_error(5500, "%s", MSG_BEFORE_1970);
    *seconds = s;
    *ms = m;
}

// ---- Date texts ----

// A cursor over the text that never reads past its end: at() gives -1
// there.
struct Scan {
    const char* text;
    size_t len;
    size_t pos;
    int code;  // 5515 numeric form, 5510 text form
};

int at(const Scan& s, size_t ahead = 0) {
    size_t i = s.pos + ahead;
    return i < s.len ? static_cast<unsigned char>(s.text[i]) : -1;
}
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
void skip_spaces(Scan& s) {
    while (is_space(at(s))) ++s.pos;
}
[[noreturn]] void bad_text(const Scan& s) { report_error(s.code, "%s", MSG_TEXT); }

// Terminators that let a single digit stand as a field.
enum Ends : unsigned {
    END_DAY = 1,    // ',', ' ', '-', '/', the end
    END_TIME = 2,   // ':', ' ', 'Z', 'z'
    END_ANY = 4,    // anything but a digit
};
bool ends_field(int c, unsigned ends) {
    if (ends & END_ANY) return !is_digit(c);
    if (ends & END_DAY) return c == -1 || c == ',' || c == ' ' || c == '-' || c == '/';
    return c == ':' || c == ' ' || c == 'Z' || c == 'z';
}

// A field of 1 or 2 digits.
int read_1_2(Scan& s, unsigned ends) {
    int c0 = at(s), c1 = at(s, 1);
    if (!is_digit(c0)) bad_text(s);
    if (is_digit(c1)) {
        s.pos += 2;
        return (c0 - '0') * 10 + (c1 - '0');
    }
    if (!ends_field(c1, ends)) bad_text(s);
    s.pos += 1;
    return c0 - '0';
}

struct TextParts {
    int year, month, day, hour, minute, second, ms;
};

// hours ':' minutes (':' seconds | ' ' | 'Z' | 'z'), or hours alone
// followed by ' ', 'Z' or 'z'. A terminating 'Z' or 'z' is consumed.
void read_time(Scan& s, TextParts& t) {
    t.hour = read_1_2(s, END_TIME);
    t.minute = t.second = 0;
    int c = at(s);
    if (c == ':') {
        ++s.pos;
        t.minute = read_1_2(s, END_TIME);
        c = at(s);
        if (c == ':') {
            ++s.pos;
            t.second = read_1_2(s, END_ANY);
            return;
        }
    }
    if (c == ' ') return;
    if (c == 'Z' || c == 'z') {
        ++s.pos;
        return;
    }
    bad_text(s);
}

// Optional whitespace, then '.' and 1 to 3 digits taken as milliseconds as
// written; after 1 or 2 digits only the end, a space or 'Z' may follow.
void read_fraction(Scan& s, TextParts& t) {
    size_t keep = s.pos;
    skip_spaces(s);
    if (at(s) != '.') {
        s.pos = keep;
        return;
    }
    ++s.pos;
    int v = 0, n = 0;
    while (n < 3 && is_digit(at(s))) {
        v = v * 10 + (at(s) - '0');
        ++s.pos;
        ++n;
    }
    if (n == 0) bad_text(s);
    if (n < 3) {
        int c = at(s);
        if (c != -1 && c != ' ' && c != 'Z') bad_text(s);
    }
    t.ms = v;
}

// Numeric form: year, [sep] month [sep] day, 'T' or ' ', time, fraction.
// Whatever follows (a "Z", an offset) is not examined.
void parse_numeric(Scan& s, TextParts& t) {
    int y = 0;
    for (int i = 0; i < 3; ++i) {
        if (!is_digit(at(s, static_cast<size_t>(i)))) bad_text(s);
        y = y * 10 + (at(s, static_cast<size_t>(i)) - '0');
    }
    if (is_digit(at(s, 3))) {
        t.year = y * 10 + (at(s, 3) - '0');
        s.pos += 4;
    } else if (at(s, 3) == ' ') {
        t.year = 1900 + y;
        s.pos += 3;
    } else {
        bad_text(s);
    }
    int sep = at(s);
    if (sep == '-' || sep == '/') {
        ++s.pos;
        t.month = read_1_2(s, END_DAY);
        if (at(s) != sep) bad_text(s);
        ++s.pos;
        t.day = read_1_2(s, END_DAY);
    } else {
        t.month = read_1_2(s, END_DAY);
        t.day = read_1_2(s, END_DAY);
    }
    int c = at(s);
    if (c != 'T' && c != ' ') bad_text(s);
    ++s.pos;
    read_time(s, t);
    read_fraction(s, t);
}

// A word of letters: -1 unknown, 0-6 a day name, 7-18 month 1-12 (as 6 +
// month).
int read_word(Scan& s) {
    size_t start = s.pos;
    while (is_letter(at(s))) ++s.pos;
    size_t n = s.pos - start;
    const char* w = s.text + start;
    if (n == 3) {
        const char* hit = nullptr;
        for (size_t i = 0; i + 3 <= sizeof ABBREVIATIONS - 1; ++i) {
            if (std::memcmp(ABBREVIATIONS + i, w, 3) == 0) {
                hit = ABBREVIATIONS + i;
                break;
            }
        }
        if (hit == nullptr) bad_text(s);
        return static_cast<int>((hit - ABBREVIATIONS) / 3);
    }
    if (n < 3 || n > 17) bad_text(s);
    for (size_t i = 0; i + n <= sizeof MONTH_NAMES - 1; ++i) {
        if (std::memcmp(MONTH_NAMES + i, w, n) == 0) return static_cast<int>(i / 10) + 7;
    }
    bad_text(s);
}

int read_month_word(Scan& s) {
    int k = read_word(s);
    if (k < 7) bad_text(s);
    return k - 7;
}

// Year: 2 or 3 digits followed by a space (from 1900), or 4 digits.
int read_text_year(Scan& s) {
    int v = 0, n = 0;
    while (n < 5 && is_digit(at(s))) {
        v = v * 10 + (at(s) - '0');
        ++s.pos;
        ++n;
    }
    if (n == 4) return v;
    if ((n == 2 || n == 3) && at(s) == ' ') return 1900 + v;
    bad_text(s);
}

// Text form: [day-name [',']] with day and month word in either order, or
// month word first, or the day's digits first; year, time, fraction,
// optional GMT/UTC zone with an offset, then only whitespace. Returns the
// zone offset in seconds through *offset and whether a zone was given.
bool parse_text_form(Scan& s, TextParts& t, int32_t* offset) {
    if (is_digit(at(s))) {
        t.day = read_1_2(s, END_DAY);
        skip_spaces(s);
        t.month = read_month_word(s);
    } else {
        int k = read_word(s);
        if (k < 7) {
            skip_spaces(s);
            if (at(s) == ',') ++s.pos;
            skip_spaces(s);
            if (is_digit(at(s))) {
                t.day = read_1_2(s, END_DAY);
                skip_spaces(s);
                t.month = read_month_word(s);
            } else {
                t.month = read_month_word(s);
                skip_spaces(s);
                t.day = read_1_2(s, END_DAY);
            }
        } else {
            t.month = k - 7;
            skip_spaces(s);
            t.day = read_1_2(s, END_DAY);
        }
    }
    skip_spaces(s);
    if (at(s) == ',') ++s.pos;
    skip_spaces(s);
    t.year = read_text_year(s);
    skip_spaces(s);
    if (at(s) == ',') ++s.pos;
    skip_spaces(s);
    read_time(s, t);
    read_fraction(s, t);
    skip_spaces(s);
    bool zone = false;
    *offset = 0;
    if ((at(s) == 'G' && at(s, 1) == 'M' && at(s, 2) == 'T') || (at(s) == 'U' && at(s, 1) == 'T' && at(s, 2) == 'C')) {
        zone = true;
        s.pos += 3;
        int sign = at(s);
        if (sign == '+' || sign == '-') {
            ++s.pos;
            int h = read_1_2(s, END_ANY);
            int m = 0;
            if (at(s) == ':') {
                ++s.pos;
                m = read_1_2(s, END_ANY);
            } else if (is_digit(at(s))) {
                m = read_1_2(s, END_ANY);
            }
            *offset = (sign == '+' ? 1 : -1) * (h * 3600 + m * 60);
        }
    }
    skip_spaces(s);
    if (at(s) != -1) bad_text(s);
    return zone;
}

}  // namespace

void parse_date_text(const char* text, size_t len, int64_t* seconds, int* ms, bool* zone) {
    Scan s{text, len, 0, 5510};
    skip_spaces(s);
    TextParts t{0, 0, 1, 0, 0, 0, 0};
    int32_t offset = 0;
    *zone = false;
    if (is_digit(at(s)) && is_digit(at(s, 2))) {
        s.code = 5515;
        parse_numeric(s, t);
        t.month -= 1;
    } else {
        *zone = parse_text_form(s, t, &offset);
    }
    if (t.year < 1970 || t.month < 0 || t.day < 1) report_error(5505, "%s", MSG_BEFORE_1970);
    int64_t sec = parts_to_seconds(t.year, t.month, t.day, t.hour, t.minute, t.second, *zone);
    sec -= offset;
    if (sec < 0) report_error(5500, "%s", MSG_BEFORE_1970);
    *seconds = sec;
    *ms = t.ms;
}

namespace {

// ---- Constructor ----

ValueWord date_construct(ValueWord* args, int argc) {
    if (argc > 7) report_error(5525, "Dateで日付・時刻の文字列・値不正");
    if (argc == 0) {
        int64_t s;
        int32_t nanos;
        platform::time_now_precise(&s, &nanos);
        return make_date({storable_seconds(s), nanos / 1000000, false});
    }
    if (argc == 1) {
        ValueWord v = args[0];
        switch (word_tag(v)) {
        case TAG_INT: return make_date({storable_seconds(cell_int(dw_cell(v)) / 1000), 0, true});
        case TAG_FLOAT: {
            double d = cell_float(dw_cell(v));
            if (!std::isfinite(d)) report_error(5520, "%s", MSG_VALUE);
            double s = std::trunc(d / 1000.0);
            if (s < 0) report_error(5500, "%s", MSG_BEFORE_1970);
            if (s > static_cast<double>(SECONDS_MAX)) report_error(5520, "%s", MSG_VALUE);
            return make_date({static_cast<uint32_t>(s), 0, true});
        }
        case TAG_STRING: {
            int64_t s;
            int ms;
            bool zone;
            parse_date_text(string_text(v), string_length(v), &s, &ms, &zone);
            return make_date({storable_seconds(s), ms, zone});
        }
        default: return W_UNDEFINED;
        }
    }
    int64_t s, ms;
    date_from_parts(args, argc, false, &s, &ms);
    return make_date({storable_seconds(s), static_cast<int>(ms), false});
}

// Date(...) as an operation node whose operands are the arguments.
ValueWord op_date_call(Cell* node) {
    uint32_t n = node_operand_count(node);
    if (n > 7) report_error(5525, "Dateで日付・時刻の文字列・値不正");
    ValueWord args[7];
    uint32_t done = 0;
    ValueWord r;
    try {
        for (; done < n; ++done) args[done] = retain(evaluate(node_operand_words(node)[done]));
        r = date_construct(args, static_cast<int>(n));
    } catch (...) {
        for (uint32_t i = 0; i < done; ++i) value_release(args[i]);
        throw;
    }
    for (uint32_t i = 0; i < n; ++i) value_release(args[i]);
    return r;
}

// ---- Static methods ----

ValueWord date_now(ValueWord, ValueWord*, int) {
    return make_float(static_cast<double>(platform::time_now()) * 1000.0);
}

ValueWord date_parse(ValueWord, ValueWord* args, int) {
    if (word_tag(args[0]) != TAG_STRING) report_error(5530, "%s", MSG_TEXT);
    int64_t s;
    int ms;
    bool zone;
    parse_date_text(string_text(args[0]), string_length(args[0]), &s, &ms, &zone);
    return make_float(time_value(s, ms));
}

ValueWord date_utc(ValueWord, ValueWord* args, int argc) {
    int64_t s, ms;
    date_from_parts(args, argc, true, &s, &ms);
    return make_float(time_value(s, ms));
}

// ---- Getters ----

const Cell* cell_of(ValueWord d) { return dw_cell(d); }

ValueWord date_get_date(ValueWord d, ValueWord*, int) { return int_value(date_day(cell_of(d))); }
ValueWord date_get_day(ValueWord d, ValueWord*, int) { return int_value(date_weekday(cell_of(d))); }
ValueWord date_get_full_year(ValueWord d, ValueWord*, int) { return int_value(date_year(cell_of(d))); }
ValueWord date_get_hours(ValueWord d, ValueWord*, int) { return int_value(date_hour(cell_of(d))); }
ValueWord date_get_milliseconds(ValueWord d, ValueWord*, int) { return int_value(date_ms(cell_of(d))); }
ValueWord date_get_minutes(ValueWord d, ValueWord*, int) { return int_value(date_minute(cell_of(d))); }
ValueWord date_get_month(ValueWord d, ValueWord*, int) { return int_value(date_month(cell_of(d))); }
ValueWord date_get_seconds(ValueWord d, ValueWord*, int) { return int_value(date_second(cell_of(d))); }
ValueWord date_get_time(ValueWord d, ValueWord*, int) {
    const Cell* c = cell_of(d);
    return make_float(time_value(date_seconds(c), date_ms(c)));
}
ValueWord date_get_timezone_offset(ValueWord d, ValueWord*, int) {
    return int_value(-platform::local_offset_at(date_seconds(cell_of(d))) / 60);
}

std::tm utc_parts(ValueWord d) {
    std::tm tm;
    if (!platform::utc_time(date_seconds(cell_of(d)), &tm)) report_error(5500, "%s", MSG_BEFORE_1970);
    return tm;
}
ValueWord date_get_utc_date(ValueWord d, ValueWord*, int) { return int_value(utc_parts(d).tm_mday); }
ValueWord date_get_utc_day(ValueWord d, ValueWord*, int) { return int_value(utc_parts(d).tm_wday); }
ValueWord date_get_utc_full_year(ValueWord d, ValueWord*, int) { return int_value(utc_parts(d).tm_year + 1900); }
ValueWord date_get_utc_hours(ValueWord d, ValueWord*, int) { return int_value(utc_parts(d).tm_hour); }
ValueWord date_get_utc_minutes(ValueWord d, ValueWord*, int) { return int_value(utc_parts(d).tm_min); }
ValueWord date_get_utc_month(ValueWord d, ValueWord*, int) { return int_value(utc_parts(d).tm_mon); }

// ---- Setters ----

// The receiver's local parts, replaced by a setter's arguments.
struct SetParts {
    int32_t year, month, day, hour, minute, second;
    int64_t ms;
};

SetParts parts_of(const Cell* c) {
    return {date_year(c), date_month(c), date_day(c), date_hour(c), date_minute(c), date_second(c), date_ms(c)};
}

// Every argument must be an integer (the setter's code otherwise).
void check_integers(const ValueWord* args, int argc, int code, const char* name) {
    for (int i = 0; i < argc; ++i) {
        if (word_tag(args[i]) != TAG_INT) report_error(code, MSG_SETTER, name);
    }
}
int32_t int_arg(const ValueWord* args, int i) { return cell_int(dw_cell(args[i])); }

// Converts the parts, then rewrites the whole receiver (zone mark kept)
// only once nothing can fail any more. Returns the new time value.
ValueWord store_parts(ValueWord d, SetParts p, bool month_given, bool day_given) {
    Cell* c = dw_cell(d);
    if (p.year < 1970 || (month_given && p.month < 0) || (day_given && p.day < 1))
        report_error(5505, "%s", MSG_BEFORE_1970);
    int64_t s = parts_to_seconds(p.year, p.month, p.day, p.hour, p.minute, p.second, false);
    carry_ms(&s, &p.ms);
    DateFields f{storable_seconds(s), static_cast<int>(p.ms), date_zone(c)};
    Cell scratch{};
    fill_date(&scratch, f);
    uint8_t hdr = c->hdr;
    *c = scratch;
    c->hdr = hdr;
    return make_float(time_value(s, p.ms));
}

ValueWord date_set_date(ValueWord d, ValueWord* args, int argc) {
    check_integers(args, argc, 5545, "setDate");
    SetParts p = parts_of(cell_of(d));
    p.day = int_arg(args, 0);
    return store_parts(d, p, false, true);
}

ValueWord date_set_full_year(ValueWord d, ValueWord* args, int argc) {
    check_integers(args, argc, 5535, "setFullYear");
    SetParts p = parts_of(cell_of(d));
    p.year = int_arg(args, 0);
    if (argc > 1) p.month = int_arg(args, 1);
    if (argc > 2) p.day = int_arg(args, 2);
    return store_parts(d, p, argc > 1, argc > 2);
}

ValueWord date_set_hours(ValueWord d, ValueWord* args, int argc) {
    check_integers(args, argc, 5550, "setHours");
    SetParts p = parts_of(cell_of(d));
    p.hour = int_arg(args, 0);
    if (argc > 1) p.minute = int_arg(args, 1);
    if (argc > 2) p.second = int_arg(args, 2);
    if (argc > 3) p.ms = int_arg(args, 3);
    return store_parts(d, p, false, false);
}

ValueWord date_set_minutes(ValueWord d, ValueWord* args, int argc) {
    check_integers(args, argc, 5555, "setMinutes");
    SetParts p = parts_of(cell_of(d));
    p.minute = int_arg(args, 0);
    if (argc > 1) p.second = int_arg(args, 1);
    if (argc > 2) p.ms = int_arg(args, 2);
    return store_parts(d, p, false, false);
}

ValueWord date_set_month(ValueWord d, ValueWord* args, int argc) {
    check_integers(args, argc, 5540, "setMonth");
    SetParts p = parts_of(cell_of(d));
    p.month = int_arg(args, 0);
    if (argc > 1) p.day = int_arg(args, 1);
    return store_parts(d, p, true, argc > 1);
}

ValueWord date_set_seconds(ValueWord d, ValueWord* args, int argc) {
    check_integers(args, argc, 5560, "setSeconds");
    SetParts p = parts_of(cell_of(d));
    p.second = int_arg(args, 0);
    if (argc > 1) p.ms = int_arg(args, 1);
    return store_parts(d, p, false, false);
}

ValueWord date_set_milliseconds(ValueWord d, ValueWord* args, int) {
    if (word_tag(args[0]) != TAG_INT) report_error(5565, MSG_SETTER, "setMilliseconds");
    int32_t ms = int_arg(args, 0);
    if (ms < 0 || ms > 999) report_error(5565, MSG_SETTER, "setMilliseconds");
    Cell* c = dw_cell(d);
    c->d8 = static_cast<uint32_t>(ms);
    return make_float(time_value(date_seconds(c), ms));
}

ValueWord date_set_time(ValueWord d, ValueWord* args, int) {
    ValueWord v = args[0];
    double s;
    if (word_tag(v) == TAG_INT) {
        s = static_cast<double>(cell_int(dw_cell(v)) / 1000);
    } else if (word_tag(v) == TAG_FLOAT) {
        double t = cell_float(dw_cell(v));
        if (!std::isfinite(t)) report_error(5520, "%s", MSG_VALUE);
        s = std::trunc(t / 1000.0);
    } else {
        report_error(5570, MSG_SETTER, "setTime");
    }
    if (s < 0) report_error(5500, "%s", MSG_BEFORE_1970);
    if (s > static_cast<double>(SECONDS_MAX)) report_error(5520, "%s", MSG_VALUE);
    Cell* c = dw_cell(d);
    DateFields f{static_cast<uint32_t>(s), 0, date_zone(c)};
    Cell scratch{};
    fill_date(&scratch, f);
    uint8_t hdr = c->hdr;
    *c = scratch;
    c->hdr = hdr;
    return make_float(s * 1000.0);
}

// ---- Text forms ----

const char* day_name(const Cell* c) { return ABBREVIATIONS + 3 * date_weekday(c); }
const char* month_name(const Cell* c) { return ABBREVIATIONS + 21 + 3 * date_month(c); }

ValueWord text_result(const char* text, int n) { return make_string(text, static_cast<size_t>(n)); }

// Offset of the date's own moment: sign, hours and minutes shown unsigned.
void offset_parts(const Cell* c, char* sign, int* hours, int* minutes) {
    int32_t off = platform::local_offset_at(date_seconds(c)) / 60;
    *sign = off >= 0 ? '+' : '-';
    if (off < 0) off = -off;
    *hours = off / 60;
    *minutes = off % 60;
}

ValueWord date_to_date_string(ValueWord d, ValueWord*, int) {
    const Cell* c = cell_of(d);
    char t[64];
    int n = std::snprintf(t, sizeof t, "%.*s %.*s %02d %04d", 3, day_name(c), 3, month_name(c), date_day(c),
                          date_year(c));
    return text_result(t, n);
}

ValueWord date_to_iso_string(ValueWord d, ValueWord*, int) {
    const Cell* c = cell_of(d);
    char t[64];
    int n = std::snprintf(t, sizeof t, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", date_year(c), date_month(c) + 1,
                          date_day(c), date_hour(c), date_minute(c), date_second(c), date_ms(c));
    return text_result(t, n);
}

ValueWord date_to_string(ValueWord d, ValueWord*, int) {
    const Cell* c = cell_of(d);
    char sign;
    int oh, om;
    offset_parts(c, &sign, &oh, &om);
    char t[96];
    int n = std::snprintf(t, sizeof t, "%.*s %.*s %02d %04d %02d:%02d:%02d GMT%c%02d%02d (GMT%c%02d:%02d)", 3,
                          day_name(c), 3, month_name(c), date_day(c), date_year(c), date_hour(c), date_minute(c),
                          date_second(c), sign, oh, om, sign, oh, om);
    return text_result(t, n);
}

ValueWord date_to_time_string(ValueWord d, ValueWord*, int) {
    const Cell* c = cell_of(d);
    char sign;
    int oh, om;
    offset_parts(c, &sign, &oh, &om);
    char t[64];
    int n = std::snprintf(t, sizeof t, "%02d:%02d:%02d GMT%c%02d%02d", date_hour(c), date_minute(c), date_second(c),
                          sign, oh, om);
    return text_result(t, n);
}

ValueWord date_to_utc_string(ValueWord d, ValueWord*, int) {
    const Cell* c = cell_of(d);
    char t[64];
    int n = std::snprintf(t, sizeof t, "%.*s, %02d %.*s %04d %02d:%02d:%02d GMT", 3, day_name(c), date_day(c), 3,
                          month_name(c), date_year(c), date_hour(c), date_minute(c), date_second(c));
    return text_result(t, n);
}

struct Install {
    const char* name;
    MethodRoutine routine;
};

const Install k_methods[] = {
    {"getDate", date_get_date},
    {"getDay", date_get_day},
    {"getFullYear", date_get_full_year},
    {"getHours", date_get_hours},
    {"getMilliseconds", date_get_milliseconds},
    {"getMinutes", date_get_minutes},
    {"getMonth", date_get_month},
    {"getSeconds", date_get_seconds},
    {"getTime", date_get_time},
    {"getTimezoneOffset", date_get_timezone_offset},
    {"setDate", date_set_date},
    {"setFullYear", date_set_full_year},
    {"setHours", date_set_hours},
    {"setMilliseconds", date_set_milliseconds},
    {"setMinutes", date_set_minutes},
    {"setMonth", date_set_month},
    {"setSeconds", date_set_seconds},
    {"setTime", date_set_time},
    {"getUTCDate", date_get_utc_date},
    {"getUTCDay", date_get_utc_day},
    {"getUTCFullYear", date_get_utc_full_year},
    {"getUTCHours", date_get_utc_hours},
    {"getUTCMilliseconds", date_get_milliseconds},
    {"getUTCMinutes", date_get_utc_minutes},
    {"getUTCMonth", date_get_utc_month},
    {"getUTCSeconds", date_get_seconds},
    {"toDateString", date_to_date_string},
    {"toISOString", date_to_iso_string},
    {"toString", date_to_string},
    {"toTimeString", date_to_time_string},
    {"toJSON", date_to_iso_string},
    {"toUTCString", date_to_utc_string},
};

}  // namespace

void register_date_builtins() {
    for (const Install& m : k_methods) method_install(g_date_methods, m.name, m.routine);
    method_install(g_date_static_methods, "now", date_now);
    method_install(g_date_static_methods, "parse", date_parse);
    method_install(g_date_static_methods, "UTC", date_utc);
    g_date_constructor = date_construct;
    g_op_table[OP_DATE_CALL] = op_date_call;
}

}  // namespace velt
