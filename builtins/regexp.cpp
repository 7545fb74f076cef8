// RegExp engine: the pattern compiler, the backtracking matcher, the
// printer of `source`, the RegExp methods and properties, and the String
// methods that take patterns (search, match, matchAll, and the RegExp forms
// of replace, replaceAll and split).
//
// A RegExp value is area memory: byte 0 header, byte 1 flags, bytes 2-3
// node count, 4-7 node array address, 8-11 lastIndex, then the literal
// units (UTF-16, each run zero-terminated). An alternation value (flag
// 0x80) holds the words of its alternatives instead of nodes. Capture
// positions live in a side table of 32-bit positions (g_caps), indexed by
// the slot number a capturing-group node keeps in its minimum field.
#include "builtins/regexp.h"

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "parser/expr.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

long g_regexp_step_limit = 50000000;

namespace {

constexpr uint8_t F_MULTI = 0x04, F_ICASE = 0x08, F_GLOBAL = 0x10, F_STICKY = 0x20, F_DOTALL = 0x40,
                  F_ALT = 0x80;
constexpr int HDR = 12;          // header bytes before the literal units
constexpr int QMAX_OPEN = -1;
constexpr int MAX_NESTING = 100;
// Stack the matcher may use below its entry: far below the smallest main
// thread stack of every build (sanitizer builds have larger frames, but the
// limit is counted in bytes, not in levels).
constexpr uintptr_t STACK_BUDGET = 2u * 1024u * 1024u;

const char MSG_FMT[] = "正規表現のフォーマット不正";

// ---- Value access ----

inline uint8_t* re_mem(ValueWord w) { return word_memory(w); }
inline uint8_t re_flags(const uint8_t* m) { return m[1]; }
inline uint32_t re_count(const uint8_t* m) { uint16_t v; std::memcpy(&v, m + 2, 2); return v; }
inline uint32_t re_nodes_addr(const uint8_t* m) { uint32_t v; std::memcpy(&v, m + 4, 4); return v; }
inline int32_t re_last_index(const uint8_t* m) { int32_t v; std::memcpy(&v, m + 8, 4); return v; }
inline void set_last_index(uint8_t* m, int32_t v) { std::memcpy(m + 8, &v, 4); }
inline const uint16_t* re_lit(const uint8_t* m) { return reinterpret_cast<const uint16_t*>(m + HDR); }
inline const uint8_t* re_nodes(const uint8_t* m) {
    return re_count(m) ? static_cast<const uint8_t*>(area_ptr(re_nodes_addr(m))) : nullptr;
}
inline RegexNode node_at(const uint8_t* nodes, uint32_t i) {
    RegexNode n;
    std::memcpy(&n, nodes + sizeof(RegexNode) * i, sizeof(RegexNode));
    return n;
}
inline ValueWord alt_at(const uint8_t* m, uint32_t i) {
    ValueWord w;
    std::memcpy(&w, re_nodes(m) + 4 * i, 4);
    return w;
}

// ---- UTF-8 <-> UTF-16 (whole: surrogate pairs, NUL as a unit) ----

void to_wide(const char* s, size_t len, std::vector<uint16_t>& out) {
    out.clear();
    size_t i = 0;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    while (i < len) {
        unsigned c = u[i];
        uint32_t cp;
        size_t n;
        if (c < 0x80) { cp = c; n = 1; }
        else if (c >= 0xC0 && c < 0xE0) { cp = c & 0x1F; n = 2; }
        else if (c >= 0xE0 && c < 0xF0) { cp = c & 0x0F; n = 3; }
        else if (c >= 0xF0 && c < 0xF8) { cp = c & 0x07; n = 4; }
        else { out.push_back(0xFFFD); ++i; continue; }
        if (i + n > len) { out.push_back(0xFFFD); break; }
        bool ok = true;
        for (size_t k = 1; k < n; ++k) {
            if ((u[i + k] & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (u[i + k] & 0x3F);
        }
        if (!ok) { out.push_back(0xFFFD); ++i; continue; }
        i += n;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else if (cp > 0x10FFFF) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
    }
}

void put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) out.push_back(static_cast<char>(cp));
    else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void from_wide(const uint16_t* w, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = w[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        }
        put_utf8(out, c);
    }
}

ValueWord wide_string(const uint16_t* w, size_t n) {
    std::string s;
    from_wide(w, n, s);
    return make_string(s.data(), s.size());
}

// ---- Compiler ----

struct Comp {
    const uint16_t* p;
    size_t n;
    size_t i;
    uint8_t flags;
    int groups;          // capturing groups opened so far (slot numbers)
    int depth;           // open parentheses
    const char* text;    // the pattern in UTF-8, for messages
};

[[noreturn]] void cfail(int code, const char* msg) { report_parse_error(code, "%s", msg); }
[[noreturn]] void cfail_text(int code, const Comp& c, const char* fmt) { report_parse_error(code, fmt, c.text); }

inline uint16_t fold(uint16_t u) { return (u >= 'a' && u <= 'z') ? static_cast<uint16_t>(u - 32) : u; }
inline bool is_word_unit(uint16_t u) {
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_';
}
inline bool is_space_unit(uint16_t u) { return u == ' ' || u == '\t' || u == '\n' || u == '\r'; }
inline int hexval(uint16_t u) {
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

ValueWord compile_alternatives(Comp& c, bool top);

struct Seq {
    std::vector<RegexNode> nodes;
    std::vector<uint16_t> lit;
    int open_lit = -1;       // node index of the literal run being filled
    ValueWord behind = 0;    // pending lookbehind body
    uint8_t behind_kind = 0; // 'P' or 'Q'
    char last_quant = 0;     // quantifier character of the last node, if just quantified
};

RegexNode blank_node(uint8_t kind) {
    RegexNode n;
    std::memset(&n, 0, sizeof n);
    n.kind = kind;
    return n;
}

void close_lit(Seq& s) {
    if (s.open_lit >= 0) {
        s.lit.push_back(0);
        s.open_lit = -1;
    }
}

// Appends an element node, attaching a pending lookbehind to it (a group
// cannot carry one: it gets an empty node of its own before it).
void add_node(Seq& s, RegexNode n) {
    close_lit(s);
    s.last_quant = 0;
    if (s.behind_kind) {
        if (n.kind == 60 || n.kind == 61) {
            RegexNode e = blank_node(10);
            e.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
            s.lit.push_back(0);
            e.body = s.behind;
            e.look = s.behind_kind;
            s.nodes.push_back(e);
        } else {
            n.body = s.behind;
            n.look = s.behind_kind;
        }
        s.behind_kind = 0;
        s.behind = 0;
    }
    s.nodes.push_back(n);
}

void add_unit(Seq& s, uint16_t u, uint8_t flags) {
    if (flags & F_ICASE) u = fold(u);
    s.last_quant = 0;
    if (s.open_lit < 0 || s.behind_kind) {
        RegexNode n = blank_node(10);
        n.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
        add_node(s, n);
        s.open_lit = static_cast<int>(s.nodes.size()) - 1;
    }
    s.lit.push_back(u);
    s.nodes[static_cast<size_t>(s.open_lit)].litlen++;
    if (s.lit.size() > 0xFFFF) cfail(4785, "正規表現のフォーマット不正 (パターンなし)");
}

// Reads `{n}`, `{n,}`, `{n,m}` at c.i ('{'); returns the quantifier kind.
uint8_t read_braces(Comp& c, int* mn, int* mx) {
    size_t i = c.i + 1;
    auto number = [&](int* out) -> bool {
        if (i >= c.n || c.p[i] < '0' || c.p[i] > '9') return false;
        long v = 0;
        while (i < c.n && c.p[i] >= '0' && c.p[i] <= '9') {
            v = v * 10 + (c.p[i] - '0');
            if (v > 0xFFFF) cfail(4770, "正規表現の数字フォーマット不正 { }");
            ++i;
        }
        *out = static_cast<int>(v);
        return true;
    };
    if (!number(mn)) cfail(4750, "正規表現のフォーマット不正 ({ })");
    uint8_t q;
    if (i < c.n && c.p[i] == '}') {
        *mx = *mn;
        q = 1;
    } else if (i < c.n && c.p[i] == ',') {
        ++i;
        if (i < c.n && c.p[i] == '}') {
            *mx = QMAX_OPEN;
            q = 8;
        } else {
            if (!number(mx)) cfail(4760, "正規表現の数字フォーマット不正 { }");
            if (*mx < *mn) cfail(4765, MSG_FMT);
            q = 4;
        }
        if (i >= c.n || c.p[i] != '}') cfail(4755, "正規表現のフォーマット不正 ({ })");
    } else {
        cfail(4755, "正規表現のフォーマット不正 ({ })");
    }
    c.i = i + 1;
    return q;
}

void apply_quantifier(Comp& c, Seq& s) {
    uint16_t qc = c.p[c.i];
    const char* qname = qc == '*' ? "*" : qc == '+' ? "+" : qc == '?' ? "?" : "{ }";
    if (s.behind_kind) cfail_text(4645, c, "'%s'のフォーマット不正 (?<=...)。(?<!...)");
    if (s.nodes.empty()) report_parse_error(4605, "正規表現のフォーマット不正 (%s)", qname);
    if (s.last_quant) {
        if (s.last_quant == '*') cfail_text(4655, c, "'%s'のフォーマット不正 (*)");
        if (s.last_quant == '+') cfail_text(4665, c, "'%s'のフーマット不正 (*+)");
        if (s.last_quant == '?') cfail_text(4675, c, "'%s'のォーマット不正 (*)");
        cfail_text(4620, c, "'%s'のフォーマット不正 ({ })");
    }
    RegexNode& last = s.nodes.back();
    if (last.look == 'F' || last.look == 'G') cfail_text(4650, c, "'%s'のフォーマット不正 (?=...)、(?!...)");
    if (last.kind == 60 || last.kind == 28 || last.kind == 29 || (last.kind == 10 && last.litlen == 0)) {
        if (qc == '*') cfail_text(4660, c, "'%s'のフォーマット不正 (*)");
        if (qc == '+') cfail_text(4670, c, "'%s'のォーマット不正 (+)");
        if (qc == '?') cfail_text(4680, c, "'%s'のォーマット不正 (?)");
        cfail_text(4620, c, "'%s'のフォーマット不正 ({ })");
    }
    if (last.kind == 12 || last.kind == 13) report_parse_error(4610, "正規表現のフォーマット不正 (%s)", qname);
    int mn = 0, mx = QMAX_OPEN;
    uint8_t q;
    if (qc == '{') {
        q = read_braces(c, &mn, &mx);
    } else {
        ++c.i;
        if (qc == '*') { q = 8; mn = 0; }
        else if (qc == '+') { q = 8; mn = 1; }
        else { q = 2; mn = 0; mx = 1; }
    }
    bool lazy = c.i < c.n && c.p[c.i] == '?';
    if (lazy) ++c.i;
    if (last.kind == 10) {
        if (last.litlen >= 2) {
            // The quantifier takes the last unit of the run.
            size_t at = last.lit + last.litlen - 1u;
            uint16_t u = s.lit[at];
            last.litlen--;
            s.lit[at] = 0;  // terminates the shortened run
            s.open_lit = -1;
            RegexNode n = blank_node(11);
            n.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
            n.litlen = 1;
            s.lit.push_back(u);
            s.lit.push_back(0);
            s.nodes.push_back(n);
        } else {
            close_lit(s);
            s.nodes.back().kind = 11;
        }
    } else {
        close_lit(s);
    }
    RegexNode& t = s.nodes.back();
    t.quant = static_cast<uint8_t>(q | (lazy ? 0x20 : 0));
    t.min = static_cast<uint16_t>(mn);
    t.max = static_cast<uint16_t>(mx < 0 ? 0 : mx);
    s.last_quant = static_cast<char>(qc);
}

// One escape unit value (after the backslash, at c.i) shared by classes
// and sequences: control escapes, \cX, \xHH, \uHHHH, \u{HHHH}; other units
// stand for themselves. Returns the unit; c.i moves past the escape.
uint16_t read_escape_unit(Comp& c, bool in_class) {
    uint16_t e = c.p[c.i++];
    switch (e) {
        case 'f': return 0x0C;
        case 'n': return 0x0A;
        case 'r': return 0x0D;
        case 't': return 0x09;
        case 'v': return 0x0B;
        case 'c': {
            if (c.i >= c.n || c.p[c.i] < 'A' || c.p[c.i] > 'Z') cfail(in_class ? 4725 : 4690, "正規表現の文字不正");
            return static_cast<uint16_t>(c.p[c.i++] - 64);
        }
        case 'x': {
            if (c.i + 2 > c.n || hexval(c.p[c.i]) < 0 || hexval(c.p[c.i + 1]) < 0) {
                cfail(in_class ? 4730 : 4695, "正規表現の文字不正");
            }
            uint16_t v = static_cast<uint16_t>(hexval(c.p[c.i]) * 16 + hexval(c.p[c.i + 1]));
            c.i += 2;
            return v;
        }
        case 'u': {
            bool brace = c.i < c.n && c.p[c.i] == '{';
            size_t at = c.i + (brace ? 1 : 0);
            if (at + 4 > c.n) cfail(in_class ? 4735 : 4700, "正規表現の文字不正");
            int v = 0;
            for (size_t k = 0; k < 4; ++k) {
                int h = hexval(c.p[at + k]);
                if (h < 0) cfail(in_class ? 4735 : 4700, "正規表現の文字不正");
                v = v * 16 + h;
            }
            at += 4;
            if (brace) {
                if (at >= c.n || c.p[at] != '}') cfail(in_class ? 4735 : 4700, "正規表現の文字不正");
                ++at;
            }
            c.i = at;
            return static_cast<uint16_t>(v);
        }
        default: return e;
    }
}

void compile_class(Comp& c, Seq& s) {
    ++c.i;  // '['
    bool neg = c.i < c.n && c.p[c.i] == '^';
    if (neg) ++c.i;
    if (neg && c.i < c.n && c.p[c.i] == ']') {
        ++c.i;
        add_node(s, blank_node(33));
        return;
    }
    std::vector<uint16_t> members;
    uint8_t cf = 0;
    bool first = true;
    while (true) {
        if (c.i >= c.n) cfail(neg ? 4780 : 4775, "正規表現のフォーマット不正 ([ ])");
        uint16_t u = c.p[c.i];
        if (u == ']') {
            if (first) report_parse_error(4600, "正規表現のフォーマット不正 (%s)", "[ ]");
            ++c.i;
            break;
        }
        first = false;
        uint16_t lo;
        if (u == '\\') {
            ++c.i;
            if (c.i >= c.n) cfail(4740, "正規表現のエスケープ不正");
            uint16_t e = c.p[c.i];
            uint8_t f = e == 'w' ? 0x01 : e == 'W' ? 0x02 : e == 'd' ? 0x04 : e == 'D' ? 0x08
                      : e == 's' ? 0x10 : e == 'S' ? 0x20 : 0;
            if (f) {
                cf |= f;
                ++c.i;
                continue;
            }
            if (e == 'b') { lo = 0x08; ++c.i; }
            else lo = read_escape_unit(c, true);
        } else {
            lo = u;
            ++c.i;
        }
        if (c.i + 1 < c.n && c.p[c.i] == '-' && c.p[c.i + 1] != ']') {
            ++c.i;
            uint16_t hi;
            if (c.p[c.i] == '\\') {
                ++c.i;
                if (c.i >= c.n) cfail(4740, "正規表現のエスケープ不正");
                uint16_t e = c.p[c.i];
                if (e == 'w' || e == 'W' || e == 'd' || e == 'D' || e == 's' || e == 'S') {
                    cfail(4745, "正規表現のエスケープ不正");
                }
                if (e == 'b') { hi = 0x08; ++c.i; }
                else hi = read_escape_unit(c, true);
            } else {
                hi = c.p[c.i++];
            }
            if (hi <= lo) cfail(4720, "正規表現のフォーマット不正 ([ - ])");
            if (members.size() + (hi - lo) + 1u > 0xFFFF) cfail(4785, "正規表現のフォーマット不正 (パターンなし)");
            for (uint32_t x = lo; x <= hi; ++x) members.push_back(static_cast<uint16_t>(x));
        } else {
            members.push_back(lo);
        }
    }
    RegexNode n = blank_node(neg ? 21 : 20);
    close_lit(s);
    n.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
    n.litlen = static_cast<uint16_t>(members.size());
    n.cflags = cf;
    for (uint16_t m : members) s.lit.push_back((c.flags & F_ICASE) ? fold(m) : m);
    s.lit.push_back(0);
    if (s.lit.size() > 0xFFFF) cfail(4785, "正規表現のフォーマット不正 (パターンなし)");
    add_node(s, n);
}

// Writes a sequence into area memory as a RegExp value.
ValueWord store_seq(const Seq& s, uint8_t flags) {
    if (s.nodes.size() > 0xFFFF || s.lit.size() > 0xFFFF) cfail(4785, "正規表現のフォーマット不正 (パターンなし)");
    void* mem;
    uint32_t addr = area_alloc(HDR + 2 * s.lit.size() + 2, &mem);
    uint8_t* m = static_cast<uint8_t*>(mem);
    std::memset(m, 0, HDR);
    m[0] = TAG_REGEXP;
    m[1] = flags;
    uint16_t cnt = static_cast<uint16_t>(s.nodes.size());
    std::memcpy(m + 2, &cnt, 2);
    uint32_t naddr = 0;
    if (!s.nodes.empty()) {
        void* nm;
        naddr = area_alloc(sizeof(RegexNode) * s.nodes.size(), &nm);
        std::memcpy(nm, s.nodes.data(), sizeof(RegexNode) * s.nodes.size());
    }
    std::memcpy(m + 4, &naddr, 4);
    if (!s.lit.empty()) std::memcpy(m + HDR, s.lit.data(), 2 * s.lit.size());
    return make_word(TAG_REGEXP, addr);
}

ValueWord compile_sequence(Comp& c, bool top) {
    Seq s;
    while (c.i < c.n) {
        uint16_t u = c.p[c.i];
        if (u == '|' || u == ')') break;
        switch (u) {
            case '*': case '+': case '?': case '{':
                apply_quantifier(c, s);
                continue;
            case '.': ++c.i; add_node(s, blank_node(30)); continue;
            case '^':
                if (!s.nodes.empty() || s.behind_kind) cfail_text(4685, c, "'%s'のォーマット不正 ($)");
                ++c.i;
                add_node(s, blank_node(12));
                continue;
            case '$': {
                ++c.i;
                if (c.i < c.n && c.p[c.i] != '|' && c.p[c.i] != ')') cfail_text(4687, c, "'%s'のォーマット不正 ($)");
                add_node(s, blank_node(13));
                continue;
            }
            case '[': compile_class(c, s); continue;
            case '(': {
                ++c.i;
                uint8_t kind = 60, look = 0;
                uint32_t name = 0;
                if (c.i < c.n && c.p[c.i] == '?') {
                    ++c.i;
                    uint16_t t = c.i < c.n ? c.p[c.i] : 0;
                    if (t == ':') { kind = 61; ++c.i; }
                    else if (t == '=') { look = 'F'; ++c.i; }
                    else if (t == '!') { look = 'G'; ++c.i; }
                    else if (t == '<' && c.i + 1 < c.n && c.p[c.i + 1] == '=') { look = 'P'; c.i += 2; }
                    else if (t == '<' && c.i + 1 < c.n && c.p[c.i + 1] == '!') { look = 'Q'; c.i += 2; }
                    else if (t == '<') {
                        size_t b = ++c.i;
                        while (c.i < c.n && c.p[c.i] != '>') ++c.i;
                        if (c.i >= c.n || c.i == b) cfail_text(4640, c, "'%s'のフォーマット不正 (、)");
                        std::string nm;
                        from_wide(c.p + b, c.i - b, nm);
                        if (nm.size() > 200) cfail_text(4640, c, "'%s'のフォーマット不正 (、)");
                        name = intern(nm.data(), nm.size());
                        ++c.i;
                    } else {
                        cfail_text(4635, c, "'%s'のフォーマット不正 (、)");
                    }
                }
                int slot = 0;
                if (kind == 60 && !look) slot = ++c.groups;
                // Nesting is bounded so compiling, matching and printing
                // never recurse deeper than the stack allows.
                if (++c.depth > MAX_NESTING) cfail(4630, "RegExp グループ不正");
                ValueWord body = compile_alternatives(c, false);
                --c.depth;
                if (c.i >= c.n || c.p[c.i] != ')') cfail(4625, "RegExp グループ不正");
                ++c.i;
                value_retain(body);
                if (look == 'F' || look == 'G') {
                    close_lit(s);
                    bool attach = !s.nodes.empty() && !s.behind_kind && s.nodes.back().look == 0 &&
                                  s.nodes.back().kind != 60 && s.nodes.back().kind != 61;
                    if (!attach) {
                        RegexNode e = blank_node(10);
                        e.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
                        s.lit.push_back(0);
                        add_node(s, e);
                    }
                    s.nodes.back().body = body;
                    s.nodes.back().look = look;
                    s.last_quant = 0;
                } else if (look) {
                    if (s.behind_kind) {
                        RegexNode e = blank_node(10);
                        e.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
                        close_lit(s);
                        e.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
                        s.lit.push_back(0);
                        add_node(s, e);
                    }
                    close_lit(s);
                    s.behind = body;
                    s.behind_kind = look;
                } else {
                    RegexNode g = blank_node(kind);
                    g.body = body;
                    g.name = name;
                    g.min = static_cast<uint16_t>(slot);
                    if (slot > 0xFFFF) cfail(4785, "正規表現のフォーマット不正 (パターンなし)");
                    add_node(s, g);
                }
                continue;
            }
            case '\\': {
                ++c.i;
                if (c.i >= c.n) cfail(top ? 4710 : 4715, MSG_FMT);
                uint16_t e = c.p[c.i];
                uint8_t k = 0;
                switch (e) {
                    case 'b': k = 28; break; case 'B': k = 29; break;
                    case 'd': k = 24; break; case 'D': k = 25; break;
                    case 'w': k = 22; break; case 'W': k = 23; break;
                    case 's': k = 26; break; case 'S': k = 27; break;
                    default: break;
                }
                if (k) {
                    ++c.i;
                    add_node(s, blank_node(k));
                    continue;
                }
                if (e >= '0' && e <= '9') {
                    int g = e - '0';
                    if (g == 0 || g > c.groups) cfail(4705, "正規表現のフォーマット不正 (\\0 ... \\9)");
                    ++c.i;
                    RegexNode b = blank_node(31);
                    b.cflags = static_cast<uint8_t>(g);
                    add_node(s, b);
                    continue;
                }
                add_unit(s, read_escape_unit(c, false), c.flags);
                continue;
            }
            default:
                ++c.i;
                add_unit(s, u, c.flags);
                continue;
        }
    }
    if (s.behind_kind) {
        RegexNode e = blank_node(10);
        close_lit(s);
        e.lit = static_cast<uint16_t>(s.lit.size() & 0xFFFF);
        s.lit.push_back(0);
        add_node(s, e);
    }
    close_lit(s);
    return store_seq(s, static_cast<uint8_t>(c.flags & ~F_ALT));
}

ValueWord compile_alternatives(Comp& c, bool top) {
    std::vector<ValueWord> alts;
    while (true) {
        alts.push_back(compile_sequence(c, top));
        if (c.i < c.n && c.p[c.i] == '|') {
            ++c.i;
            continue;
        }
        if (top && c.i < c.n && c.p[c.i] == ')') cfail(4630, "RegExp グループ不正");
        break;
    }
    if (alts.size() == 1) return alts[0];
    if (alts.size() > 0xFFFF) cfail(4785, "正規表現のフォーマット不正 (パターンなし)");
    void* mem;
    uint32_t addr = area_alloc(HDR + 2, &mem);
    uint8_t* m = static_cast<uint8_t*>(mem);
    std::memset(m, 0, HDR + 2);
    m[0] = TAG_REGEXP;
    m[1] = static_cast<uint8_t>(c.flags | F_ALT);
    uint16_t cnt = static_cast<uint16_t>(alts.size());
    std::memcpy(m + 2, &cnt, 2);
    void* am;
    uint32_t aaddr = area_alloc(4 * alts.size(), &am);
    for (size_t k = 0; k < alts.size(); ++k) {
        ValueWord w = value_retain(alts[k]);
        std::memcpy(static_cast<uint8_t*>(am) + 4 * k, &w, 4);
    }
    std::memcpy(m + 4, &aaddr, 4);
    return make_word(TAG_REGEXP, addr);
}

// ---- Group tables ----

void collect_groups(ValueWord re, std::vector<uint32_t>& names) {
    const uint8_t* m = re_mem(re);
    uint32_t n = re_count(m);
    if (re_flags(m) & F_ALT) {
        for (uint32_t k = 0; k < n; ++k) collect_groups(alt_at(m, k), names);
        return;
    }
    const uint8_t* nodes = re_nodes(m);
    for (uint32_t k = 0; k < n; ++k) {
        RegexNode nd = node_at(nodes, k);
        if (nd.look) collect_groups(nd.body, names);
        if (nd.kind == 60 || nd.kind == 61) {
            if (nd.kind == 60) {
                if (names.size() < nd.min) names.resize(nd.min, 0);
                names[nd.min - 1u] = nd.name;
            }
            collect_groups(nd.body, names);
        }
    }
}

// Maximum units a sub-pattern can span, or -1 when unbounded.
long max_width(ValueWord re, int depth) {
    if (depth > 64) return -1;
    const uint8_t* m = re_mem(re);
    uint32_t n = re_count(m);
    if (re_flags(m) & F_ALT) {
        long best = 0;
        for (uint32_t k = 0; k < n; ++k) {
            long w = max_width(alt_at(m, k), depth + 1);
            if (w < 0) return -1;
            if (w > best) best = w;
        }
        return best;
    }
    const uint8_t* nodes = re_nodes(m);
    long total = 0;
    for (uint32_t k = 0; k < n; ++k) {
        RegexNode nd = node_at(nodes, k);
        long w;
        switch (nd.kind) {
            case 10: w = nd.litlen; break;
            case 12: case 13: case 28: case 29: w = 0; break;
            case 31: return -1;
            case 60: case 61: w = max_width(nd.body, depth + 1); if (w < 0) return -1; break;
            default: w = 1; break;
        }
        uint8_t q = nd.quant & 0x1F;
        if (q == 8) { if (w > 0) return -1; }
        else if (q == 2) w *= 1;
        else if (q == 1 || q == 4) w *= (q == 1 ? nd.min : nd.max);
        total += w;
        if (total > 0xFFFFFF) return -1;
    }
    return total;
}

// ---- Matcher ----

struct Cont;
using ContFn = bool (*)(const Cont*, int32_t pos);
struct Cont {
    ContFn fn;
    const Cont* next;
    const uint8_t* re;
    uint32_t i;
    int32_t a;
    int32_t b;
};

struct MatchState {
    const uint16_t* s;
    int32_t len;
    uint8_t flags;
    long steps;
    uintptr_t stack_base;
    int32_t end;
};
MatchState g_m;
std::vector<int32_t> g_caps;  // 2 per slot: start, end (-1 when unset)

[[noreturn]] void too_complex() { report_error(5095, "正規表現の照合が複雑すぎます"); }

inline void budget() {
    if (++g_m.steps > g_regexp_step_limit) too_complex();
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (g_m.stack_base > here && g_m.stack_base - here > STACK_BUDGET) too_complex();
}

bool match_seq(const uint8_t* m, uint32_t i, int32_t pos, const Cont* k);

bool match_value(ValueWord re, int32_t pos, const Cont* k) {
    const uint8_t* m = re_mem(re);
    if (re_flags(m) & F_ALT) {
        uint32_t n = re_count(m);
        for (uint32_t a = 0; a < n; ++a) {
            if (match_seq(re_mem(alt_at(m, a)), 0, pos, k)) return true;
        }
        return false;
    }
    return match_seq(m, 0, pos, k);
}

bool cont_accept(const Cont*, int32_t) { return true; }
bool cont_end_at(const Cont* c, int32_t pos) { return pos == c->a; }
bool cont_final(const Cont*, int32_t pos) {
    g_m.end = pos;
    return true;
}
bool cont_seq(const Cont* c, int32_t pos) { return match_seq(c->re, c->i + 1, pos, c->next); }

bool cont_group_end(const Cont* c, int32_t pos) {
    size_t slot = static_cast<size_t>(c->a);
    int32_t os = g_caps[2 * slot], oe = g_caps[2 * slot + 1];
    g_caps[2 * slot] = c->b;
    g_caps[2 * slot + 1] = pos;
    if (match_seq(c->re, c->i + 1, pos, c->next)) return true;
    g_caps[2 * slot] = os;
    g_caps[2 * slot + 1] = oe;
    return false;
}

bool repeat_group(const uint8_t* m, uint32_t i, int32_t count, int32_t pos, const Cont* k);

bool cont_repeat(const Cont* c, int32_t pos) {
    RegexNode nd = node_at(re_nodes(c->re), c->i);
    if (pos == c->b) {
        // An iteration that consumed nothing ends the repetition.
        return match_seq(c->re, c->i + 1, pos, c->next);
    }
    (void)nd;
    return repeat_group(c->re, c->i, c->a, pos, c->next);
}

bool repeat_group(const uint8_t* m, uint32_t i, int32_t count, int32_t pos, const Cont* k) {
    budget();
    RegexNode nd = node_at(re_nodes(m), i);
    uint8_t q = nd.quant & 0x1F;
    int32_t mn = nd.min;
    int32_t mx = q == 8 ? INT32_MAX : q == 2 ? 1 : q == 1 ? nd.min : nd.max;
    bool lazy = (nd.quant & 0x20) != 0;
    Cont rc{cont_repeat, k, m, i, count + 1, pos};
    if (lazy) {
        if (count >= mn && match_seq(m, i + 1, pos, k)) return true;
        return count < mx && match_value(nd.body, pos, &rc);
    }
    if (count < mx && match_value(nd.body, pos, &rc)) return true;
    return count >= mn && match_seq(m, i + 1, pos, k);
}

inline bool class_member(const uint8_t* m, const RegexNode& nd, uint16_t u) {
    uint8_t f = nd.cflags;
    if (f) {
        bool w = is_word_unit(u), d = u >= '0' && u <= '9', s = is_space_unit(u);
        if (((f & 0x01) && w) || ((f & 0x02) && !w) || ((f & 0x04) && d) || ((f & 0x08) && !d) ||
            ((f & 0x10) && s) || ((f & 0x20) && !s)) {
            return true;
        }
    }
    const uint16_t* p = re_lit(m) + nd.lit;
    for (uint32_t k = 0; k < nd.litlen; ++k) {
        if (p[k] == u) return true;
    }
    return false;
}

// Whether one unit matches a one-unit element.
inline bool unit_matches(const uint8_t* m, const RegexNode& nd, uint16_t u) {
    switch (nd.kind) {
        case 11: return re_lit(m)[nd.lit] == u;
        case 20: return class_member(m, nd, u);
        case 21: return !class_member(m, nd, u);
        case 22: return is_word_unit(u);
        case 23: return !is_word_unit(u);
        case 24: return u >= '0' && u <= '9';
        case 25: return !(u >= '0' && u <= '9');
        case 26: return is_space_unit(u);
        case 27: return !is_space_unit(u);
        case 30: return (g_m.flags & F_DOTALL) || (u != '\n' && u != '\r');
        case 33: return true;
        default: return false;
    }
}

bool look_ahead_ok(const RegexNode& nd, int32_t end) {
    if (nd.look != 'F' && nd.look != 'G') return true;
    Cont acc{cont_accept, nullptr, nullptr, 0, 0, 0};
    bool r = match_value(nd.body, end, &acc);
    return nd.look == 'F' ? r : !r;
}

bool look_behind_ok(const RegexNode& nd, int32_t pos) {
    if (nd.look != 'P' && nd.look != 'Q') return true;
    long w = max_width(nd.body, 0);
    int32_t lo = (w < 0 || w >= pos) ? 0 : pos - static_cast<int32_t>(w);
    bool found = false;
    Cont at{cont_end_at, nullptr, nullptr, 0, pos, 0};
    for (int32_t s = pos; s >= lo && !found; --s) {
        budget();
        found = match_value(nd.body, s, &at);
    }
    return nd.look == 'P' ? found : !found;
}

// Width of a sub-pattern made only of unquantified literals and one-unit
// elements without lookarounds (it matches at a position in at most one
// way), else 0.
int32_t simple_width(ValueWord re) {
    const uint8_t* m = re_mem(re);
    if (re_flags(m) & F_ALT) {
        // Alternatives of one width without groups end at the same place
        // whichever of them matches, so the choice cannot matter later.
        int32_t w = 0;
        for (uint32_t a = 0; a < re_count(m); ++a) {
            const uint8_t* am = re_mem(alt_at(m, a));
            if (re_flags(am) & F_ALT) return 0;
            int32_t aw = simple_width(alt_at(m, a));
            if (aw == 0 || (w != 0 && aw != w)) return 0;
            w = aw;
        }
        return w;
    }
    const uint8_t* nodes = re_nodes(m);
    int32_t w = 0;
    for (uint32_t k = 0; k < re_count(m); ++k) {
        RegexNode nd = node_at(nodes, k);
        if (nd.quant || nd.look) return 0;
        if (nd.kind == 10) w += nd.litlen;
        else if ((nd.kind >= 20 && nd.kind <= 27) || nd.kind == 30 || nd.kind == 33) w += 1;
        else return 0;
    }
    return w;
}

bool simple_matches(const uint8_t* m, int32_t pos) {
    if (re_flags(m) & F_ALT) {
        for (uint32_t a = 0; a < re_count(m); ++a) {
            if (simple_matches(re_mem(alt_at(m, a)), pos)) return true;
        }
        return false;
    }
    const uint8_t* nodes = re_nodes(m);
    for (uint32_t k = 0; k < re_count(m); ++k) {
        RegexNode nd = node_at(nodes, k);
        if (nd.kind == 10) {
            const uint16_t* lit = re_lit(m) + nd.lit;
            for (uint32_t q = 0; q < nd.litlen; ++q) {
                if (g_m.s[pos++] != lit[q]) return false;
            }
        } else if (!unit_matches(m, nd, g_m.s[pos++])) {
            return false;
        }
    }
    return true;
}

inline bool is_word_at(int32_t p) { return p >= 0 && p < g_m.len && is_word_unit(g_m.s[p]); }

bool match_seq(const uint8_t* m, uint32_t i, int32_t pos, const Cont* k) {
    budget();
    if (i >= re_count(m)) return k->fn(k, pos);
    RegexNode nd = node_at(re_nodes(m), i);
    if (!look_behind_ok(nd, pos)) return false;
    const uint16_t* s = g_m.s;
    int32_t len = g_m.len;
    switch (nd.kind) {
        case 10: {
            if (nd.litlen > len - pos) return false;
            const uint16_t* lit = re_lit(m) + nd.lit;
            for (uint32_t q = 0; q < nd.litlen; ++q) {
                if (s[pos + static_cast<int32_t>(q)] != lit[q]) return false;
            }
            int32_t end = pos + nd.litlen;
            return look_ahead_ok(nd, end) && match_seq(m, i + 1, end, k);
        }
        case 12: {
            bool ok = pos == 0 || ((g_m.flags & F_MULTI) && pos <= len && s[pos - 1] == '\n');
            return ok && look_ahead_ok(nd, pos) && match_seq(m, i + 1, pos, k);
        }
        case 13: {
            bool ok = pos == len || ((g_m.flags & F_MULTI) && pos < len && s[pos] == '\n');
            return ok && look_ahead_ok(nd, pos) && match_seq(m, i + 1, pos, k);
        }
        case 28: case 29: {
            bool edge = is_word_at(pos - 1) != is_word_at(pos);
            if (edge != (nd.kind == 28)) return false;
            return look_ahead_ok(nd, pos) && match_seq(m, i + 1, pos, k);
        }
        case 60: {
            Cont gc{cont_group_end, k, m, i, nd.min, pos};
            return match_value(nd.body, pos, &gc);
        }
        case 61: {
            if ((nd.quant & 0x1F) == 0) {
                Cont sc{cont_seq, k, m, i, 0, 0};
                return match_value(nd.body, pos, &sc);
            }
            if (simple_width(nd.body) > 0) break;  // repeated by counting, below
            return repeat_group(m, i, 0, pos, k);
        }
        default: break;
    }
    // One-unit elements and back-references, with their quantifier.
    uint8_t q = nd.quant & 0x1F;
    int32_t mn = q == 0 ? 1 : nd.min;
    int32_t mx = q == 0 ? 1 : q == 8 ? INT32_MAX : q == 2 ? 1 : q == 1 ? nd.min : nd.max;
    bool lazy = (nd.quant & 0x20) != 0;
    int32_t w = 1;
    int32_t count = 0;
    if (nd.kind == 31) {
        size_t g = nd.cflags;
        int32_t cs = 2 * g + 1 < g_caps.size() ? g_caps[2 * g] : -1;
        int32_t ce = 2 * g + 1 < g_caps.size() ? g_caps[2 * g + 1] : -1;
        w = cs >= 0 ? ce - cs : 0;
        if (w == 0) {
            count = mn;
        } else {
            int32_t p = pos;
            while (count < mx && w <= len - p) {
                if (std::memcmp(s + p, s + cs, 2 * static_cast<size_t>(w)) != 0) break;
                p += w;
                ++count;
            }
        }
    } else if (nd.kind == 61) {
        // A body of fixed width that matches in at most one way: its
        // repetitions are counted like units, without recursion.
        const uint8_t* bm = re_mem(nd.body);
        w = simple_width(nd.body);
        int32_t p = pos;
        while (count < mx && w <= len - p && simple_matches(bm, p)) {
            p += w;
            ++count;
            budget();
        }
    } else if (nd.kind >= 11 && nd.kind <= 33) {
        while (count < mx && pos + count < len && unit_matches(m, nd, s[pos + count])) ++count;
    } else {
        report_error(5030, "正規表現のコマンド不正");
    }
    if (count < mn) return false;
    if (lazy) {
        for (int32_t c = mn; c <= count; ++c) {
            int32_t end = pos + c * w;
            if (look_ahead_ok(nd, end) && match_seq(m, i + 1, end, k)) return true;
            budget();
        }
    } else {
        for (int32_t c = count; c >= mn; --c) {
            int32_t end = pos + c * w;
            if (look_ahead_ok(nd, end) && match_seq(m, i + 1, end, k)) return true;
            budget();
        }
    }
    return false;
}

}  // namespace

// ---- Engine entry points ----

ValueWord regexp_compile(const uint16_t* units, size_t n, uint8_t flags, const char* text) {
    if (n == 0) report_parse_error(4800, "文字のEncode変換不正");
    Comp c{units, n, 0, flags, 0, 0, text};
    ValueWord re = compile_alternatives(c, true);
    uint8_t* m = re_mem(re);
    m[1] = static_cast<uint8_t>((m[1] & F_ALT) | flags);
    return re;
}

uint8_t regexp_parse_flags(const char* f, size_t n) {
    uint8_t flags = 0;
    for (size_t k = 0; k < n; ++k) {
        switch (f[k]) {
            case 'g': flags |= F_GLOBAL; break;
            case 'i': flags |= F_ICASE; break;
            case 'm': flags |= F_MULTI; break;
            case 's': flags |= F_DOTALL; break;
            case 'y': flags |= F_STICKY; break;
            case 'u': break;
            default: {
                std::string t(f, n);
                report_parse_error(4795, "正規表現のオプション不正(%s)", t.c_str());
            }
        }
    }
    return flags;
}

ValueWord regexp_compile_text(const char* pattern, size_t len, uint8_t flags) {
    std::vector<uint16_t> w;
    to_wide(pattern, len, w);
    std::string t(pattern, len);
    return regexp_compile(w.data(), w.size(), flags, t.c_str());
}

int32_t regexp_match(ValueWord re, const uint16_t* s, int32_t len, int32_t start, uint8_t flags, int32_t* mstart) {
    if (start < 0) start = 0;
    if (start > len) return -1;
    std::vector<uint32_t> names;
    collect_groups(re, names);
    size_t slots = names.size() + 1;
    g_caps.assign(2 * slots, -1);
    g_m.s = s;
    g_m.len = len;
    g_m.flags = flags;
    g_m.steps = 0;
    g_m.stack_base = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    Cont fin{cont_final, nullptr, nullptr, 0, 0, 0};
    const uint8_t* m = re_mem(re);
    // Start positions worth trying: a leading literal is found by a forward
    // scan; a leading `^` without multiline only matches at 0.
    bool single = !(re_flags(m) & F_ALT) && re_count(m) > 0;
    RegexNode first{};
    if (single) first = node_at(re_nodes(m), 0);
    for (int32_t p = start; p <= len; ++p) {
        if (!(flags & F_STICKY) && single && first.look == 0) {
            if (first.kind == 10 && first.litlen > 0) {
                uint16_t u0 = re_lit(m)[first.lit];
                while (p < len && s[p] != u0) ++p;
                if (p >= len) return -1;
            } else if (first.kind == 12 && !(flags & F_MULTI) && p > 0) {
                return -1;
            }
        }
        std::fill(g_caps.begin(), g_caps.end(), -1);
        if (match_value(re, p, &fin)) {
            *mstart = p;
            return g_m.end;
        }
        if (flags & F_STICKY) break;
    }
    return -1;
}

namespace {

// ---- Subjects ----

struct Subject {
    std::vector<uint16_t> orig;
    std::vector<uint16_t> folded;  // the matched copy under `i`
    const uint16_t* match_units(uint8_t flags) const { return (flags & F_ICASE) ? folded.data() : orig.data(); }
};

void load_subject(Subject& sj, ValueWord str, uint8_t flags) {
    to_wide(string_text(str), string_length(str), sj.orig);
    sj.orig.push_back(0);
    sj.orig.pop_back();
    if (flags & F_ICASE) {
        sj.folded = sj.orig;
        for (uint16_t& u : sj.folded) u = fold(u);
    }
}

inline uint8_t value_flags(ValueWord re) { return re_flags(re_mem(re)); }

// A new array of the given values (each retained).
ValueWord new_array(const std::vector<ValueWord>& vals) {
    ValueWord w;
    Cell* c = dw_alloc(TAG_ARRAY, &w, 0);
    void* mem;
    uint32_t addr = area_alloc(4 * vals.size() + 40, &mem);
    AreaWord* e = static_cast<AreaWord*>(mem);
    for (size_t k = 0; k < vals.size(); ++k) e[k] = value_retain(vals[k]);
    arr_addr(c) = addr;
    arr_count(c) = static_cast<uint32_t>(vals.size());
    arr_cap(c) = static_cast<uint32_t>(vals.size() + 10);
    return w;
}

ValueWord new_sparse(const std::vector<std::pair<ValueWord, ValueWord>>& pairs) {
    ValueWord w;
    Cell* c = dw_alloc(TAG_SPARSE, &w, 0);
    size_t cap = pairs.size() + 11;
    void* mem;
    uint32_t addr = area_alloc(8 * cap, &mem);
    AreaWord* e = static_cast<AreaWord*>(mem);
    for (size_t k = 0; k < pairs.size(); ++k) {
        e[2 * k] = pairs[k].first;
        e[2 * k + 1] = value_retain(pairs[k].second);
    }
    arr_addr(c) = addr;
    arr_count(c) = static_cast<uint32_t>(pairs.size());
    arr_cap(c) = static_cast<uint32_t>(cap);
    return w;
}

ValueWord pos_pair(int32_t a, int32_t b) { return new_array({int_value(a), int_value(b)}); }

// The exec result of the match [ms, me) on the subject.
ValueWord exec_result(ValueWord re, ValueWord subject, const Subject& sj, int32_t ms, int32_t me) {
    std::vector<uint32_t> names;
    collect_groups(re, names);
    const uint16_t* u = sj.orig.data();
    std::vector<std::pair<ValueWord, ValueWord>> r, ind, groups;
    r.push_back({intkey_word(0), wide_string(u + ms, static_cast<size_t>(me - ms))});
    r.push_back({name_word(N_INDEX), int_value(ms)});
    r.push_back({name_word(N_INPUT), subject});
    size_t indices_at = r.size();
    r.push_back({name_word(N_INDICES), W_UNDEFINED});
    ind.push_back({intkey_word(0), pos_pair(ms, me)});
    bool named = false;
    for (size_t g = 1; g <= names.size(); ++g) {
        int32_t cs = g_caps[2 * g], ce = g_caps[2 * g + 1];
        ValueWord text = cs >= 0 ? wide_string(u + cs, static_cast<size_t>(ce - cs)) : make_string("", 0);
        r.push_back({intkey_word(static_cast<uint32_t>(g)), text});
        ind.push_back({intkey_word(static_cast<uint32_t>(g)), cs >= 0 ? pos_pair(cs, ce) : pos_pair(0, 0)});
        if (names[g - 1]) {
            named = true;
            groups.push_back({name_word(names[g - 1]), text});
        }
    }
    ind.push_back({name_word(N_GROUPS), named ? new_sparse(groups) : W_UNDEFINED});
    ind.push_back({name_word(N_LENGTH), int_value(static_cast<int32_t>(names.size() + 1))});
    r[indices_at].second = new_sparse(ind);
    return new_sparse(r);
}

ValueWord pattern_from(ValueWord v, uint8_t extra) {
    if (word_tag(v) == TAG_REGEXP) return v;
    TextBuf t;
    value_text(v, t);
    return regexp_compile_text(t.data ? t.data : "", t.len, extra);
}

std::vector<uint32_t> group_names(ValueWord re) {
    std::vector<uint32_t> n;
    collect_groups(re, n);
    return n;
}

// ---- Replacement template ----

void expand_template(std::string& out, const char* t, size_t tl, const std::vector<uint32_t>& names,
                     const uint16_t* u) {
    if (names.size() > 128) report_error(2717, "正規表現 $n 不正");
    int refs = 0;
    for (size_t k = 0; k < tl; ++k) {
        char ch = t[k];
        if (ch != '$' || (k > 0 && t[k - 1] == '\\') || k + 1 >= tl) {
            out.push_back(ch);
            continue;
        }
        char nx = t[k + 1];
        if (nx >= '0' && nx <= '9') {
            size_t e = k + 1;
            long g = 0;
            while (e < tl && t[e] >= '0' && t[e] <= '9') {
                if (g < 100000) g = g * 10 + (t[e] - '0');
                ++e;
            }
            if (g < 1 || g > static_cast<long>(names.size())) report_error(2717, "正規表現 $n 不正");
            if (++refs > 255) report_error(2716, "正規表現 置換個数不正");
            int32_t cs = g_caps[2 * static_cast<size_t>(g)], ce = g_caps[2 * static_cast<size_t>(g) + 1];
            if (cs >= 0) from_wide(u + cs, static_cast<size_t>(ce - cs), out);
            k = e - 1;
            continue;
        }
        if (nx == '<') {
            size_t e = k + 2;
            while (e < tl && !(t[e] == '>' && t[e - 1] != '\\')) ++e;
            if (e >= tl) {
                out.push_back(ch);
                continue;
            }
            size_t nl = e - (k + 2);
            if (nl > 200) report_error(2718, "RegExp グループ不正");
            size_t found = 0;
            for (size_t g = 0; g < names.size(); ++g) {
                if (names[g] && name_length(names[g]) == nl && std::memcmp(name_text(names[g]), t + k + 2, nl) == 0) {
                    found = g + 1;
                    break;
                }
            }
            if (!found) {
                out.push_back(ch);
                continue;
            }
            if (++refs > 255) report_error(2716, "正規表現 置換個数不正");
            int32_t cs = g_caps[2 * found], ce = g_caps[2 * found + 1];
            if (cs >= 0) from_wide(u + cs, static_cast<size_t>(ce - cs), out);
            k = e;
            continue;
        }
        out.push_back(ch);
    }
}

// ---- RegExp methods ----

int32_t exec_start(uint8_t* m) {
    uint8_t f = re_flags(m);
    return (f & (F_GLOBAL | F_STICKY)) ? re_last_index(m) : 0;
}

ValueWord regexp_exec(ValueWord receiver, ValueWord* args, int) {
    if (word_tag(args[0]) != TAG_STRING) report_error(5042, "引数不正(非文字列)");
    uint8_t f = value_flags(receiver);
    Subject sj;
    load_subject(sj, args[0], f);
    int32_t start = exec_start(re_mem(receiver));
    int32_t ms = 0;
    int32_t me = regexp_match(receiver, sj.match_units(f), static_cast<int32_t>(sj.orig.size()), start, f, &ms);
    uint8_t* m = re_mem(receiver);
    if (me < 0) {
        set_last_index(m, 0);
        return W_NULL;
    }
    if (f & (F_GLOBAL | F_STICKY)) set_last_index(m, me);
    return exec_result(receiver, args[0], sj, ms, me);
}

ValueWord regexp_test(ValueWord receiver, ValueWord* args, int) {
    if (word_tag(args[0]) != TAG_STRING) report_error(5045, "引数不正(非文字列)");
    uint8_t f = value_flags(receiver);
    Subject sj;
    load_subject(sj, args[0], f);
    int32_t start = exec_start(re_mem(receiver));
    int32_t ms = 0;
    int32_t me = regexp_match(receiver, sj.match_units(f), static_cast<int32_t>(sj.orig.size()), start, f, &ms);
    uint8_t* m = re_mem(receiver);
    if (me < 0 || me == ms) {
        set_last_index(m, 0);
        return W_FALSE;
    }
    if (f & (F_GLOBAL | F_STICKY)) set_last_index(m, me);
    return W_TRUE;
}

// ---- Printer ----

void print_quant(std::string& o, const RegexNode& nd) {
    char tmp[48];
    bool lazy = nd.quant & 0x20;
    switch (nd.quant & 0x1F) {
        case 0: return;
        case 1: std::snprintf(tmp, sizeof tmp, "{%d}", nd.min); break;
        case 2: std::snprintf(tmp, sizeof tmp, "?"); break;
        case 4: std::snprintf(tmp, sizeof tmp, "{%d,%d}", nd.min, nd.max); break;
        case 8:
            if (nd.min == 0) std::snprintf(tmp, sizeof tmp, "*");
            else if (nd.min == 1) std::snprintf(tmp, sizeof tmp, "+");
            else std::snprintf(tmp, sizeof tmp, "{%d,}", nd.min);
            break;
        default: report_error(5050, "正規表現の{min,max}不正");
    }
    o += tmp;
    if (lazy) o += "?";
}

void print_value(std::string& o, ValueWord re, int depth);

void print_units(std::string& o, const uint16_t* u, size_t n) { from_wide(u, n, o); }

void print_seq(std::string& o, const uint8_t* m, int depth) {
    uint32_t n = re_count(m);
    const uint8_t* nodes = re_nodes(m);
    for (uint32_t k = 0; k < n; ++k) {
        RegexNode nd = node_at(nodes, k);
        if (nd.look == 'P' || nd.look == 'Q') {
            o += nd.look == 'P' ? "(?<=" : "(?<!";
            print_value(o, nd.body, depth + 1);
            o += ")";
        }
        const uint16_t* lit = re_lit(m) + nd.lit;
        switch (nd.kind) {
            case 10: case 11: print_units(o, lit, nd.litlen); break;
            case 12: o += "^"; break;
            case 13: o += "$"; break;
            case 20: case 21: {
                o += nd.kind == 20 ? "[" : "[^";
                static const char* esc[] = {"\\w", "\\W", "\\d", "\\D", "\\s", "\\S"};
                for (int b = 0; b < 6; ++b) if (nd.cflags & (1 << b)) o += esc[b];
                for (uint32_t a = 0; a < nd.litlen;) {
                    uint32_t e = a;
                    while (e + 1 < nd.litlen && lit[e + 1] == lit[e] + 1) ++e;
                    if (e - a + 1 > 4) {
                        print_units(o, lit + a, 1);
                        o += "-";
                        print_units(o, lit + e, 1);
                        a = e + 1;
                    } else {
                        print_units(o, lit + a, 1);
                        ++a;
                    }
                }
                o += "]";
                break;
            }
            case 22: o += "\\w"; break; case 23: o += "\\W"; break;
            case 24: o += "\\d"; break; case 25: o += "\\D"; break;
            case 26: o += "\\s"; break; case 27: o += "\\S"; break;
            case 28: o += "\\b"; break; case 29: o += "\\B"; break;
            case 30: o += "."; break;
            case 31: o += "\\" + std::to_string(nd.cflags); break;
            case 33: o += "[^]"; break;
            case 60:
                o += "(";
                if (nd.name) {
                    o += "?<";
                    o.append(name_text(nd.name), name_length(nd.name));
                    o += ">";
                }
                print_value(o, nd.body, depth + 1);
                o += ")";
                break;
            case 61:
                o += "(?:";
                print_value(o, nd.body, depth + 1);
                o += ")";
                break;
            default: report_error(5065, "正規表現のコマンド不正");
        }
        print_quant(o, nd);
        if (nd.look == 'F' || nd.look == 'G') {
            o += nd.look == 'F' ? "(?=" : "(?!";
            print_value(o, nd.body, depth + 1);
            o += ")";
        }
    }
}

void print_value(std::string& o, ValueWord re, int depth) {
    if (depth > 200) report_error(5065, "正規表現のコマンド不正");
    const uint8_t* m = re_mem(re);
    if (re_flags(m) & F_ALT) {
        for (uint32_t a = 0; a < re_count(m); ++a) {
            if (a) o += "|";
            print_value(o, alt_at(m, a), depth + 1);
        }
        return;
    }
    print_seq(o, m, depth);
}

void flag_letters(std::string& o, uint8_t f) {
    if (f & F_ICASE) o += "i";
    if (f & F_MULTI) o += "m";
    if (f & F_GLOBAL) o += "g";
    if (f & F_STICKY) o += "y";
    if (f & F_DOTALL) o += "s";
}

ValueWord regexp_to_string(ValueWord receiver, ValueWord*, int) {
    std::string o = "/" + regexp_source(receiver) + "/";
    flag_letters(o, value_flags(receiver));
    return make_string(o.data(), o.size());
}

void regexp_text(ValueWord re, TextBuf& out) {
    std::string o = "/" + regexp_source(re) + "/";
    flag_letters(o, value_flags(re));
    textbuf_append(out, o.data(), o.size());
}

ValueWord regexp_property(ValueWord re, int prop) {
    uint8_t* m = re_mem(re);
    uint8_t f = re_flags(m);
    switch (prop) {
        case 0: {
            std::string o;
            flag_letters(o, f);
            return o.empty() ? W_NULL : make_string(o.data(), o.size());
        }
        case 1: return (f & F_DOTALL) ? W_TRUE : W_FALSE;
        case 2: return (f & F_GLOBAL) ? W_TRUE : W_FALSE;
        case 3: return (f & F_ICASE) ? W_TRUE : W_FALSE;
        case 4: return (f & F_MULTI) ? W_TRUE : W_FALSE;
        case 5: {
            std::string o = regexp_source(re);
            return make_string(o.data(), o.size());
        }
        case 6: return (f & F_STICKY) ? W_TRUE : W_FALSE;
        case 7: return W_TRUE;
        default: return int_value(re_last_index(m));
    }
}

void regexp_store_last_index(ValueWord re, int32_t v) { set_last_index(re_mem(re), v); }

// ---- Constructor and literal ----

ValueWord regexp_construct(ValueWord* args, int argc) {
    if (word_tag(args[0]) != TAG_STRING) report_error(5085, "正規表現のパターン不正(非文字列)");
    uint8_t flags = 0;
    if (argc > 1) {
        if (word_tag(args[1]) != TAG_STRING) report_error(5090, "正規表現のオプション不正(非文字列)");
        flags = regexp_parse_flags(string_text(args[1]), string_length(args[1]));
    }
    return regexp_compile_text(string_text(args[0]), string_length(args[0]), flags);
}

// A fresh RegExp value of its own (lastIndex 0) sharing the compiled nodes.
ValueWord regexp_fresh_copy(ValueWord re) {
    const uint8_t* m = re_mem(re);
    size_t units = 0;
    if (!(re_flags(m) & F_ALT)) {
        const uint8_t* nodes = re_nodes(m);
        for (uint32_t k = 0; k < re_count(m); ++k) {
            RegexNode nd = node_at(nodes, k);
            size_t e = static_cast<size_t>(nd.lit) + nd.litlen + 1;
            if (e > units) units = e;
        }
    }
    void* mem;
    uint32_t addr = area_alloc(HDR + 2 * units + 2, &mem);
    uint8_t* c = static_cast<uint8_t*>(mem);
    std::memcpy(c, m, HDR + 2 * units);
    c[0] = TAG_REGEXP;
    set_last_index(c, 0);
    return make_word(TAG_REGEXP, addr);
}

ValueWord op_regexp(Cell* node) {
    uint32_t n = node_operand_count(node);
    AreaWord* ops = node_operand_words(node);
    if (n == 1 && word_tag(ops[0]) == TAG_REGEXP) return regexp_fresh_copy(ops[0]);
    ValueWord a[2] = {W_UNDEFINED, W_UNDEFINED};
    int argc = static_cast<int>(n > 2 ? 2 : n);
    for (int k = 0; k < argc; ++k) a[k] = retain(evaluate(node_operand_words(node)[k]));
    ValueWord r;
    try {
        r = regexp_construct(a, argc);
    } catch (...) {
        for (int k = 0; k < argc; ++k) value_release(a[k]);
        throw;
    }
    for (int k = 0; k < argc; ++k) value_release(a[k]);
    return r;
}

ValueWord regexp_literal(const char* pattern, size_t plen, const char* flags, size_t flen) {
    uint8_t f = regexp_parse_flags(flags, flen);
    ValueWord re = regexp_compile_text(pattern, plen, f);
    value_retain(re);
    return make_node(182, &re, 1, 0, nullptr);
}

// ---- String methods ----

ValueWord string_search(ValueWord receiver, ValueWord* args, int) {
    ValueWord re = pattern_from(args[0], 0);
    uint8_t f = value_flags(re);
    Subject sj;
    load_subject(sj, receiver, f);
    int32_t ms = 0;
    int32_t me = regexp_match(re, sj.match_units(f), static_cast<int32_t>(sj.orig.size()), 0,
                              static_cast<uint8_t>(f & ~F_STICKY), &ms);
    if (re != args[0]) value_release_temp(re);
    return (me < 0 || me == ms) ? int_value(-1) : int_value(ms);
}

ValueWord string_match(ValueWord receiver, ValueWord* args, int argc) {
    if (argc == 0) return new_array({make_string("", 0)});
    ValueWord re = pattern_from(args[0], 0);
    uint8_t f = value_flags(re);
    Subject sj;
    load_subject(sj, receiver, f);
    int32_t len = static_cast<int32_t>(sj.orig.size());
    const uint16_t* u = sj.match_units(f);
    uint8_t mf = static_cast<uint8_t>(f & ~F_STICKY);
    int32_t ms = 0;
    if (!(f & F_GLOBAL)) {
        int32_t me = regexp_match(re, u, len, 0, mf, &ms);
        ValueWord r = (me < 0 || me == ms) ? W_NULL : exec_result(re, receiver, sj, ms, me);
        if (re != args[0]) value_release_temp(re);
        return r;
    }
    std::vector<ValueWord> found;
    int32_t at = 0;
    while (at <= len) {
        int32_t me = regexp_match(re, u, len, at, mf, &ms);
        if (me < 0) break;
        found.push_back(wide_string(sj.orig.data() + ms, static_cast<size_t>(me - ms)));
        at = me > ms ? me : me + 1;
    }
    if (re != args[0]) value_release_temp(re);
    if (found.empty()) return W_NULL;
    return new_array(found);
}

ValueWord string_match_all(ValueWord receiver, ValueWord* args, int) {
    ValueWord re = args[0];
    if (word_tag(re) == TAG_REGEXP) {
        if (!(value_flags(re) & F_GLOBAL)) report_error(2745, "正規表現のオプション不正");
    } else {
        re = pattern_from(re, F_GLOBAL);
    }
    uint8_t f = value_flags(re);
    Subject sj;
    load_subject(sj, receiver, f);
    int32_t len = static_cast<int32_t>(sj.orig.size());
    const uint16_t* u = sj.match_units(f);
    uint8_t mf = static_cast<uint8_t>(f & ~F_STICKY);
    size_t ng = group_names(re).size();
    std::vector<ValueWord> all;
    int32_t at = 0, ms = 0;
    while (true) {
        int32_t me = regexp_match(re, u, len, at, mf, &ms);
        if (me < 0 || me == ms) break;
        std::vector<ValueWord> one;
        one.push_back(wide_string(sj.orig.data() + ms, static_cast<size_t>(me - ms)));
        for (size_t g = 1; g <= ng; ++g) {
            int32_t cs = g_caps[2 * g], ce = g_caps[2 * g + 1];
            one.push_back(cs >= 0 ? wide_string(sj.orig.data() + cs, static_cast<size_t>(ce - cs)) : make_string("", 0));
        }
        all.push_back(new_array(one));
        at = me;
    }
    if (re != args[0]) value_release_temp(re);
    return new_array(all);
}

ValueWord replace_common(ValueWord receiver, ValueWord* args, bool all) {
    ValueWord re = args[0];
    if (word_tag(args[1]) != TAG_STRING) report_error(all ? 2730 : 2720, "引数不正(非文字列)");
    uint8_t f = value_flags(re);
    if (all && !(f & F_GLOBAL)) report_error(2732, "引数不正(正規表現のgオプション)");
    Subject sj;
    load_subject(sj, receiver, f);
    int32_t len = static_cast<int32_t>(sj.orig.size());
    const uint16_t* u = sj.match_units(f);
    uint8_t mf = static_cast<uint8_t>(f & ~F_STICKY);
    std::vector<uint32_t> names = group_names(re);
    bool literal = names.empty() || (all && (f & F_ALT));
    const char* t = string_text(args[1]);
    size_t tl = string_length(args[1]);
    std::string out;
    int32_t at = 0, copied = 0, ms = 0;
    bool any = false;
    while (true) {
        int32_t me = regexp_match(re, u, len, at, mf, &ms);
        if (me < 0 || me == ms) break;
        any = true;
        from_wide(sj.orig.data() + copied, static_cast<size_t>(ms - copied), out);
        if (literal) out.append(t, tl);
        else expand_template(out, t, tl, names, sj.orig.data());
        copied = me;
        at = me;
        if (!all) break;
    }
    if (!any) return receiver;
    from_wide(sj.orig.data() + copied, static_cast<size_t>(len - copied), out);
    return make_string(out.data(), out.size());
}

ValueWord regexp_replace(ValueWord receiver, ValueWord* args, int) { return replace_common(receiver, args, false); }
ValueWord regexp_replace_all(ValueWord receiver, ValueWord* args, int) { return replace_common(receiver, args, true); }

ValueWord regexp_split(ValueWord receiver, ValueWord* args, int argc) {
    int64_t limit = 16777215;
    if (argc > 1) {
        if (word_tag(args[1]) != TAG_INT) report_error(2740, "引数不正(非整数)");
        limit = cell_int(dw_cell(args[1]));
    }
    if (limit <= 0) return new_array({});
    ValueWord re = args[0];
    uint8_t f = value_flags(re);
    Subject sj;
    load_subject(sj, receiver, f);
    int32_t len = static_cast<int32_t>(sj.orig.size());
    const uint16_t* u = sj.match_units(f);
    uint8_t mf = static_cast<uint8_t>(f & ~F_STICKY);
    size_t ng = group_names(re).size();
    std::vector<ValueWord> parts;
    int32_t at = 0, ms = 0;
    auto full = [&]() { return static_cast<int64_t>(parts.size()) >= limit; };
    while (!full()) {
        int32_t me = regexp_match(re, u, len, at, mf, &ms);
        if (me < 0 || me == ms) break;
        parts.push_back(wide_string(sj.orig.data() + at, static_cast<size_t>(ms - at)));
        for (size_t g = 1; g <= ng && !full(); ++g) {
            int32_t cs = g_caps[2 * g], ce = g_caps[2 * g + 1];
            parts.push_back(cs >= 0 ? wide_string(sj.orig.data() + cs, static_cast<size_t>(ce - cs)) : make_string("", 0));
        }
        at = me;
    }
    if (!full()) parts.push_back(wide_string(sj.orig.data() + at, static_cast<size_t>(len - at)));
    return new_array(parts);
}

// Until the String routines for these names exist, RegExp patterns still
// reach the engine through these (other patterns stay "not available").
ValueWord fallback_replace(ValueWord r, ValueWord* a, int n) {
    if (word_tag(a[0]) != TAG_REGEXP) not_available(2820, "replace");
    return regexp_replace(r, a, n);
}
ValueWord fallback_replace_all(ValueWord r, ValueWord* a, int n) {
    if (word_tag(a[0]) != TAG_REGEXP) not_available(2820, "replaceAll");
    return regexp_replace_all(r, a, n);
}
ValueWord fallback_split(ValueWord r, ValueWord* a, int n) {
    if (n == 0 || word_tag(a[0]) != TAG_REGEXP) not_available(2820, "split");
    return regexp_split(r, a, n);
}

void install_if_missing(const char* name, MethodRoutine routine) {
    int i = method_lookup(g_string_methods, name, static_cast<uint32_t>(std::strlen(name)));
    if (i >= 0 && g_string_methods.entries[i].routine == nullptr) method_install(g_string_methods, name, routine);
}

}  // namespace

std::string regexp_source(ValueWord re) {
    std::string o;
    print_value(o, re, 0);
    return o;
}

void register_regexp_builtins() {
    regexp_literal_hook = regexp_literal;
    regexp_text_hook = regexp_text;
    g_regexp_constructor = regexp_construct;
    g_regexp_property = regexp_property;
    g_regexp_store_last_index = regexp_store_last_index;
    g_op_table[182] = op_regexp;
    method_install(g_regexp_methods, "exec", regexp_exec);
    method_install(g_regexp_methods, "test", regexp_test);
    method_install(g_regexp_methods, "toString", regexp_to_string);
    method_install(g_string_methods, "search", string_search);
    method_install(g_string_methods, "str_match", string_match);
    method_install(g_string_methods, "str_matchAll", string_match_all);
    g_regexp_replace = regexp_replace;
    g_regexp_replace_all = regexp_replace_all;
    g_regexp_split = regexp_split;
    install_if_missing("replace", fallback_replace);
    install_if_missing("replaceAll", fallback_replace_all);
    install_if_missing("split", fallback_split);
}

}  // namespace velt
