// velt-tool response [FILE]: reads a response stream (standard input without
// FILE) and prints one readable line per message. Arrays and Objects that
// were sent under references ("^A500001") appear inside the message that
// refers to them.
//
//   A name [1, "a b", [2]]        H name {"k": true}
//   s name = 5                    alert "text"
//   S 1800 "EVAL ERROR ..."       C A=1 H=0 s=2 YZ=0
//   X "seed" "token"
//   Z name 2x1 [[1, "x"]]         Y name 2x1 ["ID", "NAME"] [[1, "x"]]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Parser {
    const std::string& in;
    size_t p = 0;
    bool ok = true;

    bool at_end() const { return p >= in.size(); }
    char peek() const { return at_end() ? '\0' : in[p]; }
    bool fail() {
        ok = false;
        return false;
    }

    bool digits(int k, size_t* out) {
        size_t v = 0;
        for (int i = 0; i < k; ++i) {
            if (at_end() || in[p] < '0' || in[p] > '9') return fail();
            v = v * 10 + static_cast<size_t>(in[p++] - '0');
        }
        *out = v;
        return true;
    }

    bool number(std::string& out) {
        if (at_end()) return fail();
        size_t k = static_cast<size_t>(in[p++] - '0');
        if (k > 20 || p + k > in.size()) return fail();
        out = in.substr(p, k);
        p += k;
        return true;
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }

    bool string(std::string& out, bool* plain = nullptr) {
        char m = peek();
        int k;
        bool encoded;
        if (m >= '0' && m <= '=') {
            k = m - '0';
            encoded = false;
        } else if (m >= 'A' && m <= 'M') {
            k = m - 'A';
            encoded = true;
        } else {
            return fail();
        }
        ++p;
        size_t len;
        if (!digits(k, &len) || p + len > in.size()) return fail();
        std::string raw = in.substr(p, len);
        p += len;
        out.clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            if (encoded && raw[i] == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 && hex(raw[i + 2]) >= 0) {
                out += static_cast<char>(hex(raw[i + 1]) * 16 + hex(raw[i + 2]));
                i += 2;
            } else {
                out += raw[i];
            }
        }
        if (plain) *plain = !encoded;
        return true;
    }
};

std::string quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool is_reference(const std::string& s) {
    if (s.size() != 8 || s[0] != '^' || (s[1] != 'A' && s[1] != 'H')) return false;
    for (int i = 2; i < 8; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    return true;
}

struct Rendered {
    std::string text;
    bool used = false;
};

struct Response {
    std::map<std::string, Rendered> refs;
    std::vector<std::string> lines;

    // One element value as text; references resolved.
    bool element(Parser& r, std::string& out) {
        char m = r.peek();
        if ((m >= '0' && m <= '=') || (m >= 'A' && m <= 'M')) {
            std::string s;
            bool plain;
            if (!r.string(s, &plain)) return false;
            auto it = plain && is_reference(s) ? refs.find(s) : refs.end();
            if (it != refs.end()) {
                out = it->second.text;
                it->second.used = true;
            } else {
                out = quote(s);
            }
            return true;
        }
        int base = m >= 'a' && m <= 'z' ? 'a' : (m >= 'N' && m <= '`' ? 'N' : -1);
        if (base < 0) return r.fail();
        ++r.p;
        size_t k = static_cast<size_t>(m - base);
        if (r.p + k > r.in.size()) return r.fail();
        out = r.in.substr(r.p, k);
        r.p += k;
        return true;
    }

    bool message(Parser& r) {
        char letter = r.in[r.p++];
        std::string name, a, b, c, d;
        switch (letter) {
        case 'A':
        case 'H': {
            if (!r.number(a) || !r.string(name)) return false;
            long n = std::strtol(a.c_str(), nullptr, 10);
            std::string text = letter == 'A' ? "[" : "{";
            for (long i = 0; i < n; ++i) {
                if (i) text += ", ";
                if (letter == 'H') {
                    std::string key;
                    if (!r.string(key)) return false;
                    text += quote(key) + ": ";
                }
                std::string v;
                if (!element(r, v)) return false;
                text += v;
            }
            text += letter == 'A' ? "]" : "}";
            if (is_reference(name)) {
                refs[name] = Rendered{text, false};
            } else {
                lines.push_back(std::string(1, letter) + " " + name + " " + text);
            }
            return true;
        }
        case 's': {
            std::string v;
            if (!r.string(name) || !element(r, v)) return false;
            lines.push_back(name == "XYZBCA_ALERT_ABCZYX" ? "alert " + v : "s " + name + " = " + v);
            return true;
        }
        case 'S':
            if (!r.string(a) || !r.string(b)) return false;
            lines.push_back("S " + a + " " + quote(b));
            return true;
        case 'C':
            if (!r.number(a) || !r.number(b) || !r.number(c) || !r.number(d)) return false;
            lines.push_back("C A=" + a + " H=" + b + " s=" + c + " YZ=" + d);
            return true;
        case 'X':
            if (!r.string(a) || !r.string(b)) return false;
            lines.push_back("X " + quote(a) + " " + quote(b));
            return true;
        case 'Y':
        case 'Z': {
            if (!r.number(a) || !r.number(b) || !r.string(name)) return false;
            long cols = std::strtol(a.c_str(), nullptr, 10), rows = std::strtol(b.c_str(), nullptr, 10);
            std::string text = std::string(1, letter) + " " + name + " " + a + "x" + b + " ";
            if (letter == 'Y') {
                text += "[";
                for (long i = 0; i < cols; ++i) {
                    std::string col;
                    if (!r.string(col)) return false;
                    text += (i ? ", " : "") + quote(col);
                }
                text += "] ";
            }
            text += "[";
            for (long row = 0; row < rows; ++row) {
                text += row ? ", [" : "[";
                for (long col = 0; col < cols; ++col) {
                    std::string v;
                    if (!element(r, v)) return false;
                    text += (col ? ", " : "") + v;
                }
                text += "]";
            }
            lines.push_back(text + "]");
            return true;
        }
        default:
            return r.fail();
        }
    }
};

}  // namespace

int cmd_response(const char* program, int argc, char** argv) {
    (void)program;
    if (argc > 1) {
        std::fprintf(stderr, "usage: velt-tool response [FILE]\n");
        return 2;
    }
    FILE* f = argc == 1 ? std::fopen(argv[0], "rb") : stdin;
    if (!f) {
        std::fprintf(stderr, "velt-tool response: cannot open %s\n", argv[0]);
        return 2;
    }
    std::string in;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) in.append(buf, n);
    if (f != stdin) std::fclose(f);

    Parser r{in};
    const char header[] = "Content-type: text/plane;charset=UTF-8\n\n";
    if (in.compare(0, sizeof header - 1, header) == 0) {
        std::printf("(header)\n");
        r.p = sizeof header - 1;
    }
    Response resp;
    while (!r.at_end()) {
        size_t start = r.p;
        if (!resp.message(r)) {
            for (const std::string& line : resp.lines) std::printf("%s\n", line.c_str());
            std::printf("? %s\n", in.substr(start).c_str());
            return 1;
        }
    }
    for (const std::string& line : resp.lines) std::printf("%s\n", line.c_str());
    for (const auto& [name, rendered] : resp.refs) {
        if (!rendered.used) std::printf("%c %s %s\n", name[1], name.c_str(), rendered.text.c_str());
    }
    return 0;
}
