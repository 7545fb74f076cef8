// markers.cpp: rewriting of bind markers between the styles the database
// layer writes ("?", ":1", "$1") and the style each backend understands.
#include "backend.h"

#include <cctype>

namespace veltoci {

static bool is_ident_char(char ch)
{
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '$';
}

int rewrite_markers(const std::string& sql, char style, std::string& out)
{
    out.clear();
    out.reserve(sql.size() + 8);
    int highest = 0;
    size_t i = 0, n = sql.size();
    while (i < n) {
        char ch = sql[i];
        if (ch == '\'' || ch == '"') {  // quoted literal or identifier, copied whole
            size_t j = i + 1;
            while (j < n && sql[j] != ch) j++;
            if (j < n) j++;
            out.append(sql, i, j - i);
            i = j;
            continue;
        }
        if (ch == '-' && i + 1 < n && sql[i + 1] == '-') {
            size_t j = sql.find('\n', i);
            if (j == std::string::npos) j = n;
            out.append(sql, i, j - i);
            i = j;
            continue;
        }
        if (ch == '/' && i + 1 < n && sql[i + 1] == '*') {
            size_t j = sql.find("*/", i + 2);
            j = (j == std::string::npos) ? n : j + 2;
            out.append(sql, i, j - i);
            i = j;
            continue;
        }
        bool marker = false;
        if (ch == '?') {
            marker = true;
        } else if ((ch == ':' || ch == '$') && i + 1 < n
                   && std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
            char prev = i > 0 ? sql[i - 1] : ' ';
            marker = ch == ':' ? prev != ':' : !is_ident_char(prev);
        }
        if (!marker) {
            out.push_back(ch);
            i++;
            continue;
        }
        size_t j = i + 1;
        int number = 0;
        bool has_digits = false;
        while (j < n && std::isdigit(static_cast<unsigned char>(sql[j]))) {
            if (number < 100000) number = number * 10 + (sql[j] - '0');
            has_digits = true;
            j++;
        }
        if (!has_digits) number = highest + 1;
        if (number > highest) highest = number;
        out.push_back(style);
        out += std::to_string(number);
        i = j;
    }
    return highest;
}

}  // namespace veltoci
