// Date-text parsing on buffers without a terminating NUL (no byte past the
// text is read), and the Date(...) operation node of code 185.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "builtins/date.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "parser/expr.h"
#include "tests/unit/test_support.h"
#include "values/areas.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {
namespace {

struct DateTest : ::testing::Test {
    std::string old_tz;
    bool had_tz = false;
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_tz = tz != nullptr;
        if (had_tz) old_tz = tz;
        setenv("TZ", "Asia/Tokyo", 1);
        tzset();
        reset_interpreter();
        set_managed_mode();
        g_run.run_started = true;
    }
    void TearDown() override {
        if (had_tz) setenv("TZ", old_tz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
        run_reset_for_tests();
    }
};

// Parses text from a heap copy of exactly its length: "seconds.ms[Z]" or
// the error code.
std::string parse(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
    text.copy(copy.get(), text.size());
    int64_t s = 0;
    int ms = 0;
    bool zone = false;
    try {
        parse_date_text(copy.get(), text.size(), &s, &ms, &zone);
    } catch (const ScriptThrow& t) {
        return error_code_text(t.value);
    }
    return std::to_string(s) + "." + std::to_string(ms) + (zone ? "Z" : "");
}

TEST_F(DateTest, TextsEndingAnywhereAreNeverReadPast) {
    struct Case {
        const char* text;
        const char* want;
    } cases[] = {
        {"", "5510"},
        {"2", "5510"},
        {"20", "5510"},
        {"202", "5515"},
        {"2024", "5515"},
        {"2024-01-0", "5515"},
        {"2024-01-05T1", "5515"},
        {"2024-01-05T10:2", "5515"},
        {"2024-01-05T10:20:3", "1704417603.0"},
        {"2024-01-05T10:20:30.", "5515"},
        {"2024-01-05T10:20:30.5", "1704417630.5"},
        {"2024-01-05T10:20:30.12", "1704417630.12"},
        {"2024-01-05T10:20:30.123", "1704417630.123"},
        {"Jan", "5510"},
        {"Jan 3", "5510"},
        {"Jan 3 2024 10:0", "5510"},
        {"Jan 3 2024 10:00:0", "1704243600.0"},
        {"Wed, 03 Jan 2024 15:04:05 GM", "5510"},
        {"Wed, 03 Jan 2024 15:04:05 GMT", "1704294245.0Z"},
        {"Wed, 03 Jan 2024 15:04:05 GMT+", "5510"},
        {"Wed, 03 Jan 2024 15:04:05 GMT+1", "1704290645.0Z"},
        {"Wed, 03 Jan 2024 15:04:05 GMT+01:", "5510"},
        {"Wed, 03 Jan 2024 15:04:05 GMT-01:3", "1704298025.0Z"},
        {"Januar", "5510"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.text), c.want) << c.text;
}

TEST_F(DateTest, DateCallNodeEvaluatesItsOperandsAsArguments) {
    ValueWord parts[3] = {make_int(2024, 1), make_int(0, 1), make_int(3, 1)};
    ValueWord node = make_node(OP_DATE_CALL, parts, 3, make_pos(1, 1), nullptr);
    ValueWord d = evaluate(node);
    ASSERT_EQ(word_tag(d), TAG_DATE);
    TextBuf b;
    value_text(d, b);
    EXPECT_EQ(std::string(b.data, b.len), "2024-01-03 00:00:00");
    value_release_temp(d);

    ValueWord bad[1] = {make_int(-1, 1)};
    ValueWord parts2[2] = {bad[0], make_int(1, 1)};
    ValueWord node2 = make_node(OP_DATE_CALL, parts2, 2, make_pos(1, 1), nullptr);
    EXPECT_EQ(failure_of([&] { evaluate(node2); }).code, "5520");
}

}  // namespace
}  // namespace velt
