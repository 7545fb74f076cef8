// Module loading into the program statement list, and the TOP call parser.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "driver/config.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "parser/lexer.h"
#include "parser/loader.h"
#include "parser/statements.h"
#include "tests/unit/node_print.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {
namespace {

struct LoaderTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
        dir_ = make_temp_dir("velt-loader");
        ASSERT_FALSE(dir_.empty());
        std::snprintf(g_config.module_dir, sizeof g_config.module_dir, "%s", dir_.c_str());
    }
    void TearDown() override {
        parser_reset(true);
        run_reset_for_tests();
        remove_tree(dir_);
        config_reset_for_tests();
    }

    void write(const std::string& name, const std::string& text) {
        ASSERT_TRUE(write_file(dir_ + "/" + name, text)) << name;
    }

    uint32_t add_module(const char* name, uint8_t kind = MODULE_JS) {
        EXPECT_TRUE(module_add(name, std::strlen(name), kind));
        return static_cast<uint32_t>(g_run.module_last + 1);
    }

    // Loads a module and returns the report of its failure, or "".
    std::string load_error(uint32_t n) {
        try {
            load_module(n);
        } catch (const ScriptThrow& t) {
            return report_text(t);
        }
        return "";
    }

    std::string program() {
        std::string out;
        for (uint32_t i = 0; i < g_program.count; ++i) {
            if (i > 0) out += " | ";
            out += node_print(g_program.items[i]);
        }
        return out;
    }

    std::string dir_;
};

TEST_F(LoaderTest, ModulePath) {
    char path[MODULE_PATH_MAX + 1];
    std::snprintf(g_config.module_dir, sizeof g_config.module_dir, "%s", "scripts");
    ASSERT_TRUE(module_path("lib\\util.js", path, sizeof path));
    EXPECT_STREQ(path, "scripts/lib/util.js");
    ASSERT_TRUE(module_path("lib/util.js", path, sizeof path));
    EXPECT_STREQ(path, "scripts/lib/util.js");
    // Without MODULE_DIR the name alone (relative to the working directory).
    g_config.module_dir[0] = '\0';
    ASSERT_TRUE(module_path("a\\b.js", path, sizeof path));
    EXPECT_STREQ(path, "a/b.js");
    // Longer than the path buffer: refused, not cut.
    std::string long_name(600, 'x');
    EXPECT_FALSE(module_path(long_name.c_str(), path, sizeof path));
    EXPECT_EQ(std::strlen(path), MODULE_PATH_MAX);
}

TEST_F(LoaderTest, ModulesAppendTheirStatementsInOrder) {
    write("one.js", "/* first */ var a = 1;\nfunction f() { return a; } // done\n");
    write("sub/two.js", "f();");
    write("empty.js", "");
    write("tail.js", "var b;\n// last line without a newline");
    uint32_t m1 = add_module("one.js");
    uint32_t m2 = add_module("sub\\two.js");
    uint32_t m3 = add_module("empty.js");
    uint32_t m4 = add_module("tail.js");
    for (uint32_t n : {m1, m2, m3, m4}) EXPECT_EQ(load_error(n), "") << n;
    EXPECT_EQ(program(),
              "(141 (123 a 1)) | (123 f <function (155 (158 a))>) | (160 f []) | (141 b)");
    // Each node carries its module number.
    EXPECT_EQ(dw_cell(g_program.items[0])->b1, 1);
    EXPECT_EQ(dw_cell(g_program.items[2])->b1 & 0x7F, 2);
    EXPECT_EQ(dw_cell(g_program.items[3])->b1 & 0x7F, 4);
    EXPECT_EQ(g_run.current_module, m4);
    // Lines count from 1 in every module.
    EXPECT_EQ(pos_line(dw_cell(g_program.items[1])->d12), 2u);
    EXPECT_EQ(pos_line(dw_cell(g_program.items[3])->d12), 1u);
}

TEST_F(LoaderTest, LoadFailures) {
    write("bad.js", "var a;\n\nvar ;\n");
    write("comment.js", "var a;\n/* never closed\n");
    write("image.jo", "JO");
    uint32_t missing = add_module("missing.js");
    uint32_t bad = add_module("bad.js");
    uint32_t comment = add_module("comment.js");
    uint32_t image = add_module("image.jo", MODULE_JO);
    EXPECT_EQ(load_error(missing),
              "PARSE ERROR 1165 (missing.js:1) : ファイルオープン不正 '" + dir_ + "/missing.js'");
    EXPECT_EQ(load_error(bad), "PARSE ERROR 1025 (bad.js:3) : フォーマット不正 'var ;'");
    EXPECT_EQ(load_error(comment).substr(0, 29), "PARSE ERROR 1580 (comment.js:");
    // Stored program images are not loaded yet: refused with the file named.
    std::string image_error = load_error(image);
    EXPECT_EQ(image_error.rfind("PARSE ERROR 1165 (image.jo:1) : ", 0), 0u) << image_error;
    EXPECT_NE(image_error.find(dir_ + "/image.jo"), std::string::npos);
}

struct TopCallTest : LoaderTest {
    void SetUp() override {
        LoaderTest::SetUp();
        g_run.current_module = add_module("MainScript");
        g_run.current_line = 0;
    }
    // The printed call node, "none" for no call, or "code message".
    std::string top(const std::string& text) {
        text_ = text;
        try {
            ValueWord w = parse_top_call(text_.data());
            if (w == 0) return "none";
            last_ = w;
            return node_print(w);
        } catch (const ScriptThrow& t) {
            std::string r = report_text(t);
            size_t colon = r.find(") : ");
            return std::string(error_code_text(t.value)) + " " + r.substr(colon + 4);
        }
    }
    std::string text_;
    ValueWord last_ = 0;
};

TEST_F(TopCallTest, AcceptedForms) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"f(1, 'a', [2, 3], {k: 4})", "(160 f [1 \"a\" [2 3] {k: 4}])"},
        {"main()", "(160 main [])"},
        {"  main ( )  ", "(160 main [])"},
        {"obj.run(x, -5, 2.5, true, null)", "(160 (145 obj run) [x -5 2.5f true null])"},
        {"a.b.c(\"s\")", "(160 (145 (145 a b) c) [\"s\"])"},
        {"f({'k': [1, {n: x}]}, [])", "(160 f [{k: [1 {n: x}]} []])"},
        {"f(1); g(2)", "(160 f [1])"},
        {"f(1);", "(160 f [1])"},
        {"", "none"},
        {"   ", "none"},
        {";", "none"},
    };
    for (const auto& c : cases) EXPECT_EQ(top(c.text), c.expected) << c.text;
}

TEST_F(TopCallTest, CallNodeIsNoStopPointOfMainScript) {
    ASSERT_EQ(top("f(1)"), "(160 f [1])");
    EXPECT_EQ(dw_cell(last_)->b1, 0x80 | 1);
    EXPECT_FALSE(g_parse.no_stop);
}

TEST_F(TopCallTest, RefusedForms) {
    const std::string refused = "1725 TOP関数のステートメント不正";
    const struct {
        const char* text;
        std::string expected;
    } cases[] = {
        {"x = 1", refused},
        {"f", refused},
        {"a.b", refused},
        {"1", refused},
        {"'f'(1)", refused},
        {"(f)(1)", refused},
        {"f(1) + 2", refused},
        {"f(1)(2)", refused},
        {"f(1) g(2)", refused},
        {"f(g(1))", refused},
        {"f(1 + 2)", refused},
        {"f(-x)", refused},
        {"f(`t${x}`)", refused},
        {"f(function () { return 1; })", refused},
        {"f([g()])", refused},
        {"f({k: a.b})", refused},
        {"f(x = 1)", refused},
        {"eval('x')", refused},
        {"select(a, b)", refused},
        {"new F()", refused},
        {"Integer(1)", refused},
        {"typeof f(1)", refused},
        {"function f() {}", refused},
        {"f(1) +", "1730 TOP関数のフォーマット不正 'f(1) +'"},
        {"f.(1)", "1730 TOP関数のフォーマット不正 'f.(1)'"},
        {"f(1) ,", "1730 TOP関数のフォーマット不正 'f(1) ,'"},
        {"a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p()",
         "1720 TOP関数のステートメントの演算子不正 'a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p()'"},
    };
    for (const auto& c : cases) EXPECT_EQ(top(c.text), c.expected) << c.text;
    // A regular expression literal is no JSON value either.
    EXPECT_EQ(top("f(/re/)").substr(0, 1), "1");
    // 15 names joined by "." and the call: 31 slots, accepted.
    EXPECT_EQ(top("a.b.c.d.e.f.g.h.i.j.k.l.m.n.o()").substr(0, 5), "(160 ");
}

TEST_F(TopCallTest, ErrorsNameMainScript) {
    text_ = "x = 1";
    try {
        parse_top_call(text_.data());
        FAIL();
    } catch (const ScriptThrow& t) {
        EXPECT_EQ(report_text(t), "PARSE ERROR 1725 (MainScript:0) : TOP関数のステートメント不正");
    }
}

}  // namespace
}  // namespace velt
