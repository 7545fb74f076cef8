#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <string>

#include "driver/errors.h"
#include "driver/journal.h"
#include "driver/run.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

using namespace velt;

namespace {

struct ErrorsTest : ::testing::Test {
    void SetUp() override {
        reset_interpreter();
        module_add("m.js", 4, MODULE_JS);
        g_run.current_module = 1;
        g_run.current_line = 3;
        g_run.current_column = 7;
    }
};

std::string journal_text() {
    // The journal keeps the text in memory until a record is written.
    char path[] = "/tmp/velt-errors-journalXXXXXX";
    int fd = mkstemp(path);
    close(fd);
    journal_write_record(path);
    std::string text = read_file(path);
    std::remove(path);
    return text;
}

}  // namespace

TEST_F(ErrorsTest, ReportErrorBuildsTheErrorValueAndGoesToFrameZeroBeforeTheCall) {
    try_push(FRAME_TRY);
    try {
        report_error(2015, "評価式不正 '%s'", "x");
        FAIL();
    } catch (const ScriptThrow& t) {
        EXPECT_EQ(t.target_frame, 0);
        ASSERT_EQ(word_tag(t.value), TAG_ERROR);
        EXPECT_STREQ(error_code_text(t.value), "2015");
        EXPECT_EQ(report_text(t.value), "EVAL ERROR 2015 (m.js:3:7) : 評価式不正 'x'");
    }
    EXPECT_FALSE(g_error_caught);
    EXPECT_NE(journal_text().find("EVAL ERROR 2015 (m.js:3:7) : 評価式不正 'x'\n"), std::string::npos);
}

TEST_F(ErrorsTest, DuringTheCallTheNearestTryFrameReceivesTheError) {
    g_run.run_started = true;
    int try_frame = try_push(FRAME_TRY);
    try_push(FRAME_CALL);
    try_push(FRAME_LOOP);
    try {
        report_error(1800, "実行するJavaScriptのTOP関数が指定されていません");
    } catch (const ScriptThrow& t) {
        EXPECT_EQ(t.target_frame, try_frame);
    }
    EXPECT_TRUE(g_error_caught);
}

TEST_F(ErrorsTest, ParseErrorsAlwaysGoToFrameZeroWithTheParsePrefix) {
    g_run.run_started = true;
    try_push(FRAME_TRY);
    try {
        report_parse_error(1405, "数字のフォーマット不正 '%s'", "1e");
    } catch (const ScriptThrow& t) {
        EXPECT_EQ(t.target_frame, 0);
        EXPECT_EQ(report_text(t.value), "PARSE ERROR 1405 (m.js:3) : 数字のフォーマット不正 '1e'");
    }
    EXPECT_FALSE(g_error_caught);
}

TEST_F(ErrorsTest, AnOverlongReportIsCutAtTheReportBuffer) {
    std::string big(40000, 'x');
    try {
        report_error(2015, "%s", big.c_str());
    } catch (const ScriptThrow& t) {
        std::string m = report_text(t.value);
        EXPECT_EQ(m.size(), 16383u);
        EXPECT_EQ(m.substr(0, 11), "EVAL ERROR ");
    }
}

TEST_F(ErrorsTest, TryStackSearchFindsTheNearestFrameOfTheAskedKinds) {
    int loop = try_push(FRAME_LOOP);
    int call = try_push(FRAME_CALL);
    EXPECT_EQ(try_find(1u << FRAME_LOOP), loop);
    EXPECT_EQ(try_find((1u << FRAME_CALL) | (1u << FRAME_TRY)), call);
    EXPECT_EQ(try_find(1u << FRAME_SWITCH), -1);
    EXPECT_EQ(try_find(1u << FRAME_TRY), 0);
    for (int i = 0; i < 600; ++i) try_push(FRAME_LOOP);  // grows past its first capacity
    EXPECT_EQ(try_find(1u << FRAME_CALL), call);
    try_reset();
    EXPECT_EQ(g_try.count, 1);
}

// The forms in which a caught value is written, per frame.
TEST_F(ErrorsTest, CaughtValuesAreWrittenInTheFormOfTheirFrame) {
    ValueWord err = make_error_value("1800", "EVAL ERROR 1800 (MainScript:0:0) : a b", 38);
    ValueWord str = make_string("oops!", 5);
    struct Case {
        ValueWord value;
        CaughtAt where;
        const char* stdout_text;
        const char* journal_text;
    } cases[] = {
        {err, CaughtAt::CallFrame, "S141800C50EVAL%20ERROR%201800%20(MainScript:0:0)%20:%20a%20b",
         "\nERROR: CODE=1800, MESSAGE='EVAL ERROR 1800 (MainScript:0:0) : a b'\n"},
        {str, CaughtAt::CallFrame, "S10B7oops%21", "\nERROR: MESSAGE='oops!'\n"},
        {W_TRUE, CaughtAt::CallFrame, "S1010", "\nERROR: CODE=, MESSAGE=\n"},
        {err, CaughtAt::RequestFrame, "S141800C50EVAL%20ERROR%201800%20(MainScript:0:0)%20:%20a%20b",
         "\nEVAL ERROR 1800 (MainScript:0:0) : a b\n"},
        {str, CaughtAt::RequestFrame, "S10B7oops%21", "\nERROR: MESSAGE='oops!'\n"},
        {W_TRUE, CaughtAt::RequestFrame, "S1010", "\nERROR: CODE=, MESSAGE=\n"},
        {err, CaughtAt::ScriptMode, "ERROR  1800\xEF\xBC\x9A" "EVAL ERROR 1800 (MainScript:0:0) : a b",
         "\nEVAL ERROR 1800 (MainScript:0:0) : a b\n"},
        {str, CaughtAt::ScriptMode, "ERROR\xEF\xBC\x9A oops!", "\nERROR\xEF\xBC\x9A oops!\n"},
        {W_TRUE, CaughtAt::ScriptMode, "", ""},
    };
    for (const Case& c : cases) {
        journal_reset_for_tests();
        ::testing::internal::CaptureStdout();
        write_caught_error(c.value, c.where);
        std::fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.stdout_text);
        std::string j = journal_text();
        EXPECT_NE(j.find(std::string(c.journal_text) + "\n====="), std::string::npos) << j;
    }
}
