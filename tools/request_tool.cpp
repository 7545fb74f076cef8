// velt-tool request: builds a request body from readable options and writes
// it to standard output. Each option becomes one field, in the order given.
//
//   --call TEXT            P  the TOP function call
//   --module NAME          M  one module (repeat the option for more)
//   --int NAME=N           I  an integer global (digits, an optional sign
//                             that the program skips)
//   --real NAME=TEXT       D  a real global
//   --string NAME=TEXT     S  a string global
//   --array NAME=JSON      A  an array global (JSON array; nested arrays and
//                             objects travel as temporaries)
//   --hash NAME=JSON       A  an Object global (JSON object)
//   --sparse NAME=JSON     A  a sparse array (JSON object with integer keys)
//   --token SEED TOKEN     Q  a token pair as received in an "X" message
//   --issue-token KEY IP TIME
//                          Q  the pair a server with TOKEN_KEY=KEY issues to
//                             client IP at TIME (seconds since 1970)
//   --log NAME             l  journal file name
//   --from-disk            L
//   --raw TEXT                bytes appended as they are
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/protocol.h"
#include "driver/config.h"
#include "driver/token.h"
#include "values/text.h"

namespace {

// ---- Pieces ----

std::string counted_string(const std::string& text, bool plain = false) {
    velt::TextBuf b;
    velt::put_counted_string(b, text.data(), text.size(), plain);
    std::string s(b.data ? b.data : "", b.len);
    velt::textbuf_free(b);
    return s;
}

// Count marker and digits ("0" + number of digits).
std::string count(uint64_t n) {
    std::string digits = std::to_string(n);
    return std::string(1, static_cast<char>('0' + digits.size())) + digits;
}

// Length marker and digits.
std::string length(size_t n) { return count(n); }

// A typed field: letter, count, length of the rest, the rest.
std::string field(char letter, uint64_t n, const std::string& rest) {
    return std::string(1, letter) + count(n) + length(rest.size()) + rest;
}

// ---- A small JSON reader for --array, --hash and --sparse ----

struct Json {
    enum Kind { Null, Bool, Int, Real, String, Array, Object } kind = Null;
    bool b = false;
    std::string text;  // number text or string
    std::vector<Json> items;
    std::vector<std::string> keys;
};

struct Reader {
    const char* p;
    bool ok = true;

    void blank() {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    }
    bool fail() {
        ok = false;
        return false;
    }
    bool string(std::string& out) {
        if (*p != '"') return fail();
        ++p;
        while (*p && *p != '"') {
            if (*p != '\\') {
                out += *p++;
                continue;
            }
            ++p;
            switch (*p) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                unsigned cp = static_cast<unsigned>(std::strtoul(std::string(p + 1, 4).c_str(), nullptr, 16));
                p += 4;
                if (cp < 0x80) {
                    out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    out += static_cast<char>(0xC0 | (cp >> 6));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
                break;
            }
            case '\0': return fail();
            default: out += *p;
            }
            ++p;
        }
        if (*p != '"') return fail();
        ++p;
        return true;
    }
    bool value(Json& v) {
        blank();
        if (*p == '[') {
            ++p;
            v.kind = Json::Array;
            blank();
            if (*p == ']') return ++p, true;
            for (;;) {
                v.items.emplace_back();
                if (!value(v.items.back())) return false;
                blank();
                if (*p == ',') { ++p; continue; }
                if (*p == ']') return ++p, true;
                return fail();
            }
        }
        if (*p == '{') {
            ++p;
            v.kind = Json::Object;
            blank();
            if (*p == '}') return ++p, true;
            for (;;) {
                blank();
                v.keys.emplace_back();
                if (!string(v.keys.back())) return false;
                blank();
                if (*p != ':') return fail();
                ++p;
                v.items.emplace_back();
                if (!value(v.items.back())) return false;
                blank();
                if (*p == ',') { ++p; continue; }
                if (*p == '}') return ++p, true;
                return fail();
            }
        }
        if (*p == '"') {
            v.kind = Json::String;
            return string(v.text);
        }
        for (const char* word : {"true", "false", "null"}) {
            size_t n = std::strlen(word);
            if (std::strncmp(p, word, n) == 0) {
                p += n;
                v.kind = word[0] == 'n' ? Json::Null : Json::Bool;
                v.b = word[0] == 't';
                return true;
            }
        }
        const char* start = p;
        if (*p == '-' || *p == '+') ++p;
        bool real = false;
        while ((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E' ||
               ((*p == '-' || *p == '+') && (p[-1] == 'e' || p[-1] == 'E'))) {
            if (*p == '.' || *p == 'e' || *p == 'E') real = true;
            ++p;
        }
        if (p == start) return fail();
        v.text.assign(start, p);
        v.kind = real || v.text[0] == '-' ? Json::Real : Json::Int;
        return true;
    }
};

// ---- Objects of an A field ----

struct ObjectWriter {
    std::string out;      // objects in the order sent
    uint64_t objects = 0; // how many objects the field holds
    uint32_t next = 0;    // temporary numbers count from 1

    // Element value of a JSON value; nested containers are sent first.
    std::string element(const Json& v) {
        switch (v.kind) {
        case Json::Null: return counted_string("null");
        case Json::Bool: return counted_string(v.b ? "true" : "false");
        case Json::Int: {
            // Element integers have no sign.
            std::string digits = v.text[0] == '+' ? v.text.substr(1) : v.text;
            return std::string(1, static_cast<char>('N' + digits.size())) + digits;
        }
        case Json::Real:
            return std::string(1, static_cast<char>('a' + std::to_string(v.text.size()).size())) +
                   std::to_string(v.text.size()) + v.text;
        case Json::String: return counted_string(v.text);
        case Json::Array:
        case Json::Object: {
            char name[16];
            std::snprintf(name, sizeof name, "^%c%06u", v.kind == Json::Array ? 'A' : 'H', ++next);
            object(v.kind == Json::Array ? 'a' : 'h', name, v);
            return counted_string(name, true);
        }
        }
        return "";
    }

    void object(char kind, const std::string& name, const Json& v) {
        std::string body;
        for (size_t i = 0; i < v.items.size(); ++i) {
            if (kind == 'h' || kind == 'H') body += counted_string(v.keys[i]);
            body += element(v.items[i]);
        }
        out += std::string(1, kind) + count(v.items.size()) + counted_string(name, kind >= 'a') + body;
        ++objects;
    }
};

// Sparse arrays: keys are integers.
std::string sparse_object(const std::string& name, const Json& v, ObjectWriter& w) {
    std::string body;
    for (size_t i = 0; i < v.items.size(); ++i) {
        const std::string& k = v.keys[i];
        body += std::string(1, static_cast<char>('N' + k.size())) + k;
        body += w.element(v.items[i]);
    }
    return std::string("I") + count(v.items.size()) + counted_string(name) + body;
}

int fail(const char* message, const char* arg) {
    std::fprintf(stderr, "velt-tool request: %s: %s\n", message, arg);
    return 2;
}

bool split_assignment(const char* arg, std::string& name, std::string& value) {
    const char* eq = std::strchr(arg, '=');
    if (!eq) return false;
    name.assign(arg, eq);
    value.assign(eq + 1);
    return true;
}

}  // namespace

int cmd_request(const char* program, int argc, char** argv) {
    (void)program;
    std::string body;
    for (int i = 0; i < argc; ++i) {
        std::string opt = argv[i];
        auto need = [&](int n) { return i + n < argc; };
        std::string name, value;
        if (opt == "--call" && need(1)) {
            body += "P" + counted_string(argv[++i]);
        } else if (opt == "--module" && need(1)) {
            std::string m = argv[++i];
            body += field('M', 1, length(m.size()) + m);
        } else if (opt == "--int" && need(1)) {
            if (!split_assignment(argv[++i], name, value)) return fail("expected NAME=N", argv[i]);
            if (value.size() > 10) return fail("at most 10 characters", argv[i]);
            body += field('I', 1, counted_string(name) + std::string(1, static_cast<char>('0' + value.size())) + value);
        } else if (opt == "--real" && need(1)) {
            if (!split_assignment(argv[++i], name, value)) return fail("expected NAME=TEXT", argv[i]);
            body += field('D', 1, counted_string(name) + length(value.size()) + value);
        } else if (opt == "--string" && need(1)) {
            if (!split_assignment(argv[++i], name, value)) return fail("expected NAME=TEXT", argv[i]);
            body += field('S', 1, counted_string(name) + counted_string(value));
        } else if ((opt == "--array" || opt == "--hash" || opt == "--sparse") && need(1)) {
            if (!split_assignment(argv[++i], name, value)) return fail("expected NAME=JSON", argv[i]);
            Json v;
            Reader r{value.c_str()};
            bool ok = r.value(v);
            r.blank();
            Json::Kind want = opt == "--array" ? Json::Array : Json::Object;
            if (!ok || *r.p || v.kind != want) return fail("malformed JSON", argv[i]);
            ObjectWriter w;
            if (opt == "--sparse") {
                std::string last = sparse_object(name, v, w);
                w.out += last;
                ++w.objects;
            } else {
                w.object(opt == "--array" ? 'A' : 'H', name, v);
            }
            body += field('A', w.objects, w.out);
        } else if (opt == "--token" && need(2)) {
            body += "Q" + counted_string(argv[i + 1]) + counted_string(argv[i + 2]);
            i += 2;
        } else if (opt == "--issue-token" && need(3)) {
            const char* key = argv[i + 1];
            uint8_t client[4] = {0, 0, 0, 0};
            if (*argv[i + 2] && !velt::parse_ipv4(argv[i + 2], client, nullptr))
                return fail("bad client address", argv[i + 2]);
            int64_t now = std::strtoll(argv[i + 3], nullptr, 10);
            i += 3;
            std::string seed(std::strlen(key) + 32, '\0');
            seed.resize(velt::token_seed(key, now, client, seed.data()));
            std::string token(velt::token_text_room(seed.size()), '\0');
            token.resize(velt::token_compute(seed.data(), seed.size(), static_cast<int32_t>(now & 0xFFFF), client,
                                             token.data()));
            body += "Q" + counted_string(seed) + counted_string(token);
        } else if (opt == "--log" && need(1)) {
            body += "l" + counted_string(argv[++i]);
        } else if (opt == "--from-disk") {
            body += "L";
        } else if (opt == "--raw" && need(1)) {
            body += argv[++i];
        } else {
            return fail("unknown option or missing argument", opt.c_str());
        }
    }
    std::fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}
