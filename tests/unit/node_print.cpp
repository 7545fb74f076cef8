#include "tests/unit/node_print.h"

#include <cstdio>

#include "parser/expr.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"

namespace velt {

namespace {

void print(ValueWord w, std::string& out);

void print_words(const AreaWord* words, uint32_t n, std::string& out) {
    for (uint32_t i = 0; i < n; ++i) {
        if (i > 0) out += ' ';
        print(words[i], out);
    }
}

void print_args(uint32_t addr, std::string& out) {
    uint32_t n = 0;
    AreaWord* args = argument_array(addr, &n);
    out += '[';
    print_words(args, n, out);
    out += ']';
}

void print_node(ValueWord w, std::string& out) {
    Cell* c = dw_cell(w);
    uint32_t op = node_op(c);
    uint32_t n = 0;
    AreaWord* ops = node_operands(c, &n);
    out += '(';
    out += std::to_string(op);
    if ((op == 160 || op == 183) && n == 2) {
        out += ' ';
        print(ops[0], out);
        out += ' ';
        print_args(ops[1], out);
    } else if (op == 150 && n == 3) {
        uint32_t counts = ops[1];
        uint32_t init = counts >> 16;
        uint32_t update = counts & 0xFFFFu;
        const AreaWord* parts = static_cast<const AreaWord*>(area_ptr(ops[0]));
        out += " [";
        print_words(parts, init, out);
        out += " ; ";
        print(parts[init], out);
        out += " ; ";
        print_words(parts + init + 1, update, out);
        out += "] ";
        print(ops[2], out);
    } else if (op == 153 && n >= 2) {
        out += ' ';
        print(ops[0], out);
        out += ' ';
        if (ops[1] == 0) {
            out += '0';
        } else {
            const AreaWord* rec = static_cast<const AreaWord*>(area_ptr(ops[1]));
            out += '{';
            print(rec[0], out);
            out += ' ';
            print(rec[1], out);
            out += '}';
        }
        for (uint32_t i = 2; i < n; ++i) {
            out += ' ';
            print(ops[i], out);
        }
    } else if (op == 170 && n == 1) {
        const AreaWord* rec = static_cast<const AreaWord*>(area_ptr(ops[0]));
        const AreaWord* cases = static_cast<const AreaWord*>(area_ptr(rec[1]));
        const AreaWord* stmts = static_cast<const AreaWord*>(area_ptr(rec[2]));
        uint32_t entries = cases[0];
        uint32_t statements = cases[1];
        out += ' ';
        print(rec[0], out);
        out += " {";
        out += "default:" + std::to_string(cases[3]);
        for (uint32_t i = 2; i < entries; ++i) {
            out += ' ';
            print(cases[2 * i], out);
            out += ':' + std::to_string(cases[2 * i + 1]);
        }
        out += "} [";
        print_words(stmts, statements, out);
        out += "] ";
        out += std::to_string(rec[3]);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            out += ' ';
            print(ops[i], out);
        }
    }
    out += ')';
}

void print(ValueWord w, std::string& out) {
    if (w == EMPTY_SLOT) {
        out += "<empty>";
        return;
    }
    switch (word_tag(w)) {
        case TAG_NAME:
            out += name_text(word_payload(w));
            return;
        case TAG_INTKEY:
            out += "#" + std::to_string(word_payload(w));
            return;
        case TAG_INT:
            out += std::to_string(cell_int(dw_cell(w)));
            return;
        case TAG_FLOAT: {
            char buf[400];
            format_float(buf, cell_float(dw_cell(w)));
            out += buf;
            out += 'f';
            return;
        }
        case TAG_STRING: {
            char q = str_mark(dw_cell(w)) < 0 ? '`' : '"';
            out += q;
            out.append(string_text(w), string_length(w));
            out += q;
            return;
        }
        case TAG_ARRAY: {
            Cell* c = dw_cell(w);
            const AreaWord* elems = static_cast<const AreaWord*>(area_ptr(arr_addr(c)));
            out += '[';
            print_words(elems, arr_count(c), out);
            out += ']';
            return;
        }
        case TAG_OBJECT: {
            Cell* c = dw_cell(w);
            const AreaWord* pairs = static_cast<const AreaWord*>(area_ptr(obj_addr(c)));
            out += '{';
            for (uint32_t i = 0; i < obj_count(c); ++i) {
                if (i > 0) out += ", ";
                print(pairs[2 * i], out);
                out += ": ";
                print(pairs[2 * i + 1], out);
            }
            out += '}';
            return;
        }
        case TAG_NODE:
            print_node(w, out);
            return;
        case TAG_FUNCTION: {
            Cell* c = dw_cell(w);
            uint32_t params = c->b2;
            uint32_t locals = c->b3;
            out += "<function ";
            if (params + locals > 0) {
                const AreaWord* names = static_cast<const AreaWord*>(area_ptr(fn_names(c)));
                out += '(';
                print_words(names, params, out);
                out += ")(";
                print_words(names + params, locals, out);
                out += ") ";
            }
            print(fn_body(c), out);
            out += '>';
            return;
        }
        default: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "<tag%u:%06x>", word_tag(w), word_payload(w));
            out += buf;
            return;
        }
    }
}

}  // namespace

std::string node_print(ValueWord w) {
    std::string out;
    print(w, out);
    return out;
}

}  // namespace velt
