#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/errors.h"
#include "driver/journal.h"
#include "driver/run.h"
#include "parser/lexer.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

using namespace velt;

namespace {

struct LexerTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
        use_module("lex.js");
    }
    // A writable copy of a text, as the parser gets it.
    std::vector<char> buf;
    char* text(const std::string& s) {
        buf.assign(s.begin(), s.end());
        buf.push_back('\0');
        lex_begin(buf.data());
        return buf.data();
    }
};

std::string parse_report(int code, int line, const std::string& message) {
    return "PARSE ERROR " + std::to_string(code) + " (lex.js:" + std::to_string(line) + ") : " + message;
}

}  // namespace

TEST_F(LexerTest, StringLiteralsResolveEscapesByQuoteKind) {
    struct Case {
        const char* src;  // starting at the opening quote
        const char* bytes;
        bool templ;
        uint32_t lines;  // line number after reading
        size_t rest;     // bytes left behind the literal
    };
    const Case cases[] = {
        {"\"a\\qb\"", "aqb", false, 1, 0},
        {"`a\\qb`", "a\\qb", true, 1, 0},
        {"\"a\\nb\\tc\\rd\"", "a\nb\tc\rd", false, 1, 0},
        {"'it\\'s' + x", "it's", false, 1, 4},
        {"\"x\\\\y\"", "x\\y", false, 1, 0},
        {"\"a\r\nb\"", "a\nb", false, 2, 0},
        {"`a\\`b`", "a`b", true, 1, 0},
        {"`${x}\\n`", "${x}\\n", true, 1, 0},
        {"'say \"hi\"'", "say \"hi\"", false, 1, 0},
        {"''", "", false, 1, 0},
    };
    for (const Case& c : cases) {
        char* p = text(c.src);
        ValueWord w;
        char* after = read_string_literal(p + 1, p[0], &w);
        ASSERT_EQ(word_tag(w), TAG_STRING) << c.src;
        EXPECT_EQ(std::string(string_text(w), string_length(w)), c.bytes) << c.src;
        EXPECT_EQ(str_mark(dw_cell(w)) < 0, c.templ) << c.src;
        EXPECT_EQ(g_run.current_line, c.lines) << c.src;
        EXPECT_EQ(std::strlen(after), c.rest) << c.src;
    }
}

TEST_F(LexerTest, UnclosedStringLiteralFailsWith1010) {
    for (const char* src : {"\"abc", "'abc\\", "`abc\n"}) {
        char* p = text(src);
        Failure f = failure_of([&] {
            ValueWord w;
            read_string_literal(p + 1, p[0], &w);
        });
        EXPECT_EQ(f.code, "1010") << src;
        EXPECT_EQ(f.message.substr(0, 11), "PARSE ERROR") << src;
        EXPECT_NE(f.message.find("JSON文字列不正"), std::string::npos) << src;
    }
}

TEST_F(LexerTest, IdentifiersUpTo200Bytes) {
    std::string ok(200, 'a');
    char* p = text(ok + "+1");
    uint32_t name = 0;
    char* after = read_identifier(p, &name);
    EXPECT_EQ(std::string(after), "+1");
    EXPECT_EQ(name_length(name), 200u);

    p = text("foo_9 bar");
    uint32_t a = 0;
    after = read_identifier(p, &a);
    EXPECT_STREQ(after, " bar");
    EXPECT_STREQ(name_text(a), "foo_9");
    uint32_t b = 0;
    p = text("foo_9");
    read_identifier(p, &b);
    EXPECT_EQ(a, b);

    p = text("typeof");
    read_identifier(p, &a);
    EXPECT_EQ(a, static_cast<uint32_t>(N_TYPEOF));

    std::string longer(201, 'b');
    p = text("\n" + longer);
    g_run.current_line = 4;
    Failure f = failure_of([&] {
        uint32_t n;
        read_identifier(p + 1, &n);
    });
    EXPECT_EQ(f.code, "1005");
    EXPECT_EQ(f.message, parse_report(1005, 4, "関数・変数名の長さ不正"));
}

TEST_F(LexerTest, KeywordRecognition) {
    struct Case {
        const char* src;
        int kind;
        size_t consumed;
    };
    const Case cases[] = {
        {"break;", KW_BREAK, 5},          {"if(", KW_IF, 2},
        {"let x", KW_LET, 3},             {"return;", KW_RETURN, 6},
        {"record_map(", KW_RECORD_MAP, 10}, {"record_hash(", KW_RECORD_HASH, 11},
        {"redis_get(k)", KW_REDIS_GET, 9}, {"redis_linsert", KW_REDIS_LINSERT, 13},
        {"var a", KW_VAR, 3},             {"while (", KW_WHILE, 5},
        {"openDb(", KW_OPEN_DB, 6},       {"closeDb(", KW_CLOSE_DB, 7},
        {"const x", KW_CONST, 5},         {"continue;", KW_CONTINUE, 8},
        {"do {", KW_DO, 2},               {"decodeURI(", KW_DECODE_URI, 9},
        {"decodeURIComponent(", KW_DECODE_URI_COMPONENT, 18},
        {"eval(", KW_EVAL, 4},            {"execute(", KW_EXECUTE, 7},
        {"encodeURI(", KW_ENCODE_URI, 9}, {"encodeURIComponent(", KW_ENCODE_URI_COMPONENT, 18},
        {"for (", KW_FOR, 3},             {"function f", KW_FUNCTION, 8},
        {"select(", KW_SELECT, 6},        {"selectHash(", KW_SELECT_HASH, 10},
        {"selectInto(", KW_SELECT_INTO, 10}, {"selectToFront(", KW_SELECT_TO_FRONT, 13},
        {"selectHashToFront(", KW_SELECT_HASH_TO_FRONT, 17}, {"sendToFront(", KW_SEND_TO_FRONT, 11},
        {"switch (", KW_SWITCH, 6},       {"selectExists(", KW_SELECT_EXISTS, 12},
        {"sql_aggregate(", KW_SQL_AGGREGATE, 13}, {"throw e", KW_THROW, 5},
        {"try {", KW_TRY, 3},             {"parseInt(", KW_PARSE_INT, 8},
        {"parseFloat(", KW_PARSE_FLOAT, 10}, {"alertToFront(", KW_ALERT_TO_FRONT, 12},
        {"mongo_find(", 43, 10},          {"mongo_update_many", 47, 17},
        {"mongoc_read_command", 66, 19},  {"mongoc_write_command", 67, 20},
        // Word boundaries: a letter, digit or underscore behind the word.
        {"for2", KW_NONE, 0},             {"if2", KW_NONE, 0},
        {"select1", KW_NONE, 0},          {"do1", KW_NONE, 0},
        {"eval2", KW_NONE, 0},            {"breakx", KW_NONE, 0},
        {"forEach", KW_NONE, 0},          {"letter", KW_NONE, 0},
        {"selects", KW_NONE, 0},          {"try_", KW_NONE, 0},
        // Prefixes and other words of a table.
        {"sele", KW_NONE, 0},             {"con", KW_NONE, 0},
        {"ecode", KW_NONE, 0},            {"else", KW_NONE, 0},
        {"Select", KW_NONE, 0},           {"new", KW_NONE, 0},
        {"typeof", KW_NONE, 0},           {"x", KW_NONE, 0},
        {"mongo_", KW_NONE, 0},           {"_if", KW_NONE, 0},
    };
    for (const Case& c : cases) {
        char* p = text(c.src);
        char* q = p;
        EXPECT_EQ(recognize_keyword(q), c.kind) << c.src;
        EXPECT_EQ(static_cast<size_t>(q - p), c.consumed) << c.src;
    }
    for (int kind = 0; kind < KW_COUNT; ++kind) {
        std::string word = keyword_text(kind);
        char* p = text(word + "(");
        EXPECT_EQ(recognize_keyword(p), kind) << word;
    }
}

TEST_F(LexerTest, CommentRemoval) {
    struct Case {
        const char* src;
        const char* out;
    };
    const Case cases[] = {
        {"a /* x */ b", "a         b"},
        {"a /* x\ny */ b", "a     \n     b"},
        {"s = '/* no */'", "s = '/* no */'"},
        {"s = \"http://x\"; t", "s = \"http://x\"; t"},
        {"a // c\nb", "a     \nb"},
        {"a // c", "a "},
        {"//", ""},
        {"/* it's */ x", "           x"},
        {"/* \"a */ b \"c\"", "         b \"c\""},
        {"a /* x */ */", "a         */"},
        {"// a /* b\nc", "         \nc"},
        {"x = 'it''s' // y", "x = 'it''s' "},
        {"s = `a\n//b` // c", "s = `a\n//b` "},
        {"e = \"\\\"/*\" /**/ z", "e = \"\\\"/*\"      z"},
        {"a/**/b", "a    b"},
    };
    for (const Case& c : cases) {
        char* p = text(c.src);
        size_t n = remove_comments(p);
        EXPECT_EQ(std::string(p), c.out) << c.src;
        EXPECT_EQ(n, std::strlen(c.out)) << c.src;
    }
}

TEST_F(LexerTest, UnclosedBlockCommentFailsWith1580OnItsLine) {
    char* p = text("a\nb /* x\n y");
    Failure f = failure_of([&] { remove_comments(p); });
    EXPECT_EQ(f.code, "1580");
    EXPECT_EQ(f.message, parse_report(1580, 2, "コメント不正"));
}

TEST_F(LexerTest, QuoteAwareSearches) {
    char* p = text("f(a, \")\", (b)) + c");
    char* close = find_closing(p + 2, ')', '(');
    ASSERT_NE(close, nullptr);
    EXPECT_STREQ(close, ") + c");
    EXPECT_EQ(find_closing(text("(a"), ')', '('), nullptr);
    EXPECT_EQ(find_closing(text("a ')'"), ')', '('), nullptr);

    p = text("case 'a:b': x");
    char* colon = find_unquoted(p, ':');
    ASSERT_NE(colon, nullptr);
    EXPECT_STREQ(colon, ": x");
    EXPECT_EQ(find_unquoted(text("a \\; b"), ';'), nullptr);

    p = text("x = 'ab' + \"c\\\"d\" + e");
    char q = 0;
    EXPECT_FALSE(in_string_literal(p, p + 2, &q));
    EXPECT_TRUE(in_string_literal(p, p + 6, &q));
    EXPECT_EQ(q, '\'');
    EXPECT_FALSE(in_string_literal(p, p + 9, &q));
    EXPECT_TRUE(in_string_literal(p, p + 14, &q));
    EXPECT_EQ(q, '"');
    EXPECT_FALSE(in_string_literal(p, p + std::strlen(p) - 1, &q));
}

TEST_F(LexerTest, NumberLiterals) {
    struct Case {
        const char* src;
        int sign;
        bool is_int;
        double value;
        size_t rest;
    };
    const Case cases[] = {
        {"42", 1, true, 42, 0},
        {"42;", -1, true, -42, 1},
        {"0x1F)", 1, true, 31, 1},
        {"2147483647", 1, true, 2147483647.0, 0},
        {"2147483648", 1, false, 2147483648.0, 0},
        {"2147483648", -1, true, -2147483648.0, 0},
        {"4294967295", 1, false, 4294967295.0, 0},
        {"4294967296", 1, false, 4294967296.0, 0},
        {"1.5", 1, false, 1.5, 0},
        {".5", -1, false, -0.5, 0},
        {"1e3+x", 1, false, 1000, 2},
        {"2.5e-1", 1, false, 0.25, 0},
        {"7.toString", 1, false, 7, 8},
    };
    for (const Case& c : cases) {
        char* p = text(c.src);
        ValueWord w;
        char* after = read_number_literal(p, c.sign, &w);
        EXPECT_EQ(std::strlen(after), c.rest) << c.src;
        if (c.is_int) {
            ASSERT_EQ(word_tag(w), TAG_INT) << c.src;
            EXPECT_EQ(cell_int(dw_cell(w)), static_cast<int32_t>(c.value)) << c.src;
        } else {
            ASSERT_EQ(word_tag(w), TAG_FLOAT) << c.src;
            EXPECT_EQ(cell_float(dw_cell(w)), c.value) << c.src;
        }
    }
}

TEST_F(LexerTest, WhitespaceCountsLinesAndPositions) {
    char* p = text("ab\n\r\n  cd");
    EXPECT_EQ(source_position(p + 1), make_pos(1, 1));
    char* q = skip_whitespace(p + 2);
    EXPECT_EQ(*q, 'c');
    EXPECT_EQ(g_run.current_line, 3u);
    EXPECT_EQ(source_position(q), make_pos(3, 3));
    EXPECT_EQ(skip_blanks_peek(p + 2), q);
    EXPECT_EQ(g_run.current_line, 3u);
    // A vertical tab is no whitespace.
    p = text(" \v x");
    EXPECT_EQ(*skip_whitespace(p), '\v');
}

TEST_F(LexerTest, ErrorExcerpt) {
    EXPECT_STREQ(error_excerpt("abcdef", 3), "abc");
    EXPECT_STREQ(error_excerpt("ab\ncd", 10), "ab");
    EXPECT_STREQ(error_excerpt("ab\r\ncd", 10), "ab");
    EXPECT_STREQ(error_excerpt("ab\rcd", 10), "ab\rcd");
    // A UTF-8 sequence counts as one character.
    EXPECT_STREQ(error_excerpt("\xE3\x81\x82\xE3\x81\x84x", 2), "\xE3\x81\x82\xE3\x81\x84");
    // At most 510 bytes, never a cut sequence.
    std::string many(600, 'a');
    EXPECT_EQ(std::strlen(error_excerpt(many.c_str(), 1000)), 510u);
    std::string wide = "a";
    for (int i = 0; i < 200; ++i) wide += "\xE3\x81\x82";
    EXPECT_EQ(std::strlen(error_excerpt(wide.c_str(), 1000)), 508u);
    // A sequence cut by the end of the text is dropped.
    EXPECT_STREQ(error_excerpt("a\xE3\x81", 10), "a");
    EXPECT_STREQ(error_excerpt(nullptr, 10), "");
}

TEST_F(LexerTest, MultiToWide) {
    uint16_t out[16];
    EXPECT_EQ(MultiToWide("a\xC3\xA9\xE2\x82\xAC", 6, out, 16), 3u);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 0xE9);
    EXPECT_EQ(out[2], 0x20AC);
    EXPECT_EQ(out[3], 0);
    // Stops at the byte length, a zero byte and the capacity.
    EXPECT_EQ(MultiToWide("abcdef", 2, out, 16), 2u);
    EXPECT_EQ(MultiToWide("ab\0cd", 5, out, 16), 2u);
    out[3] = 0x7777;
    EXPECT_EQ(MultiToWide("abcdef", 6, out, 3), 2u);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0x7777);
    // Bytes that start no sequence, and a sequence cut by the length.
    EXPECT_EQ(MultiToWide("\x80x\xFF", 3, out, 16), 3u);
    EXPECT_EQ(out[0], 0xFFFD);
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(out[2], 0xFFFD);
    EXPECT_EQ(MultiToWide("a\xE2\x82\xAC", 3, out, 16), 2u);
    EXPECT_EQ(out[1], 0xFFFD);
    EXPECT_EQ(MultiToWide("a\xE2\x82", 3, out, 16), 2u);
    // A character above U+FFFF.
    Failure f = failure_of([&] { MultiToWide("\xF0\x9F\x98\x80", 4, out, 16); });
    EXPECT_EQ(f.code, "1595");
    EXPECT_NE(f.message.find("MultiToWide 文字の変換エラー(サロゲート文字)"), std::string::npos);
}

TEST_F(LexerTest, Utf8FromWide) {
    const uint16_t text16[] = {'a', 0xE9, 0x20AC, 0xD800, 0};
    char out[32];
    EXPECT_EQ(utf8_from_wide(text16, 10, out, sizeof out), 9u);
    EXPECT_STREQ(out, "a\xC3\xA9\xE2\x82\xAC\xED\xA0\x80");
    EXPECT_EQ(utf8_from_wide(text16, 2, out, sizeof out), 3u);
    // A character that would not fit is not started.
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(utf8_from_wide(text16, 4, out, 3), 1u);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(out[3], 'z');
    EXPECT_EQ(utf8_from_wide(text16, 4, out, 1), 0u);
    EXPECT_EQ(out[0], '\0');
}
