// Configuration lines and the settings they leave, the client list, the VAR
// list, the module directory fingerprint and the fatal cases.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/config.h"
#include "driver/run.h"
#include "driver/sha256.h"
#include "tests/unit/test_support.h"

namespace velt {
namespace {

void reset_modules() {
    for (int i = 0; i <= g_run.module_last; ++i) std::free(g_run.modules[i].name);
    g_run.module_last = -1;
}

void apply(const std::string& line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    config_apply_line(buf.data());
}

std::string sha_hex(const std::string& s) {
    char hex[65];
    sha256_hex(s.data(), s.size(), hex);
    return hex;
}

struct ConfigTest : ::testing::Test {
    std::string dir;
    void SetUp() override {
        config_reset_for_tests();
        reset_modules();
        dir = make_temp_dir("velt_config_");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        config_reset_for_tests();
        reset_modules();
        remove_tree(dir);
    }
};

enum class Field { TokenKey, LogFile, ModuleDir, DebugPort, TimeInterval };

std::string field_text(Field f) {
    switch (f) {
        case Field::TokenKey: return g_config.token_key;
        case Field::LogFile: return g_config.logfile;
        case Field::ModuleDir: return g_config.module_dir;
        case Field::DebugPort: return g_config.debug_port;
        case Field::TimeInterval: return std::to_string(g_config.time_interval);
    }
    return "";
}

struct LineCase {
    std::vector<std::string> lines;
    Field field;
    std::string expected;
};

TEST_F(ConfigTest, LinesToSettings) {
    const LineCase cases[] = {
        {{"LOGFILE=/var/log/velt.log  ; comment"}, Field::LogFile, "/var/log/velt.log"},
        {{"LOGFILE=a#b;c"}, Field::LogFile, "a"},
        {{"LOGFILE=\t  /x/y.log \t"}, Field::LogFile, "/x/y.log"},
        {{"LOGFILE=first", "LOGFILE=second"}, Field::LogFile, "second"},
        {{"LOGFILE=" + std::string(300, 'L')}, Field::LogFile, std::string(255, 'L')},
        // Quoted: the semicolon stays, text after the closing quote is dropped.
        {{"TOKEN_KEY='ab;c' trailing # x"}, Field::TokenKey, "ab;c"},
        {{"TOKEN_KEY=\"p#q\""}, Field::TokenKey, "p#q"},
        // A quote after an odd number of backslashes does not close.
        {{"TOKEN_KEY='a\\'b' rest"}, Field::TokenKey, "a\\'b"},
        // After an even number it does; backslashes stay.
        {{"TOKEN_KEY='a\\\\'b'"}, Field::TokenKey, "a\\\\"},
        {{"TOKEN_KEY=''"}, Field::TokenKey, ""},
        {{"TOKEN_KEY=" + std::string(80, 'k')}, Field::TokenKey, std::string(64, 'k')},
        {{"TOKEN_KEY=abc\r\nLOGFILE=zzz"}, Field::TokenKey, "abc"},
        // More than 100 separators: the hundredth cut leaves the leftmost.
        {{"TOKEN_KEY=x" + [] {
              std::string s;
              for (int i = 0; i < 101; ++i) s += ";y";
              return s;
          }()},
         Field::TokenKey, "x;y"},
        // Keys are case-insensitive and trimmed; values keep their case.
        {{"  token_Key \t=  MiXeD  "}, Field::TokenKey, "MiXeD"},
        {{"Module_Dir=C:\\js\\Mods"}, Field::ModuleDir, "C:/js/Mods"},
        {{"MODULE_DIR=/srv/js/ # comment"}, Field::ModuleDir, "/srv/js/"},
        {{"MODULE_DIR=" + std::string(600, 'm')}, Field::ModuleDir, std::string(511, 'm')},
        {{}, Field::DebugPort, "8777"},
        {{"DEBUG_PORT="}, Field::DebugPort, ""},
        {{"debug_port = 9000 ;x"}, Field::DebugPort, "9000"},
        {{"DEBUG_PORT=" + std::string(25, '1')}, Field::DebugPort, std::string(19, '1')},
        {{"TIME_INTERVAL="}, Field::TimeInterval, "0"},
        {{"TIME_INTERVAL=  30  ; seconds"}, Field::TimeInterval, "30"},
        {{"TIME_INTERVAL=-5"}, Field::TimeInterval, "-5"},
        {{"TIME_INTERVAL=99999999999"}, Field::TimeInterval, "2147483647"},
        // Ignored lines.
        {{"; LOGFILE=x", "# LOGFILE=x", "   ;LOGFILE=x", "LOGFILE x", "", "   ",
          "UNKNOWN=1", "LOG FILE=x"},
         Field::LogFile, ""},
    };
    for (const LineCase& c : cases) {
        config_reset_for_tests();
        for (const std::string& l : c.lines) apply(l);
        EXPECT_EQ(field_text(c.field), c.expected) << "first line: "
                                                   << (c.lines.empty() ? "" : c.lines[0]);
    }
}

TEST_F(ConfigTest, EnvLines) {
    unsetenv("VELT_CT_A");
    apply("ENV=VELT_CT_A+=  /opt/x  ");
    ASSERT_NE(getenv("VELT_CT_A"), nullptr);
    EXPECT_STREQ(getenv("VELT_CT_A"), "/opt/x");
    // Set: the current value trimmed, ";" and the addition.
    setenv("VELT_CT_A", " \t/usr/bin  ", 1);
    apply("ENV=VELT_CT_A+=/opt/y");
    EXPECT_STREQ(getenv("VELT_CT_A"), "/usr/bin;/opt/y");
    // Set but empty: the addition alone.
    setenv("VELT_CT_A", "", 1);
    apply("env=VELT_CT_A+=/opt/z");
    EXPECT_STREQ(getenv("VELT_CT_A"), "/opt/z");
    // A later line sees the effect of an earlier one; a quoted value keeps
    // its semicolon.
    apply("ENV='VELT_CT_A+=p;q'");
    EXPECT_STREQ(getenv("VELT_CT_A"), "/opt/z;p;q");
    // A blank before "+=" belongs to the variable's name.
    unsetenv("VELT_CT_B");
    apply("ENV=VELT_CT_B +=v");
    EXPECT_EQ(getenv("VELT_CT_B"), nullptr);
    ASSERT_NE(getenv("VELT_CT_B "), nullptr);
    EXPECT_STREQ(getenv("VELT_CT_B "), "v");
    // Without "+=": NAME=value as written (comment cut).
    apply("ENV=VELT_CT_C=hello world ; note");
    ASSERT_NE(getenv("VELT_CT_C"), nullptr);
    EXPECT_STREQ(getenv("VELT_CT_C"), "hello world");
    // The combined value is kept to 16,383 bytes.
    setenv("VELT_CT_D", std::string(16380, 'd').c_str(), 1);
    apply("ENV=VELT_CT_D+=abcdef");
    EXPECT_EQ(std::strlen(getenv("VELT_CT_D")), 16383u);
    for (const char* n : {"VELT_CT_A", "VELT_CT_B ", "VELT_CT_C", "VELT_CT_D"}) unsetenv(n);
}

TEST_F(ConfigTest, VarIncludeAndClientTakeRawValues) {
    apply("VAR='a' : 1");
    apply("var= b:2");
    apply("VAR='c':'x;y' # kept");
    apply("INCLUDE=lib.js");
    apply("include= spaced.js");
    apply("CLIENT=10.0.0.5, 192.168.0.7");
    apply("CLIENT=127.0.0.1");
    ASSERT_EQ(g_config.var_count, 3u);
    EXPECT_STREQ(config_var(0), "'a' : 1");
    EXPECT_STREQ(config_var(1), " b:2");
    EXPECT_STREQ(config_var(2), "'c':'x;y' # kept");
    ASSERT_EQ(g_run.module_last, 1);
    EXPECT_STREQ(g_run.modules[0].name, "lib.js");
    EXPECT_STREQ(g_run.modules[1].name, " spaced.js");
    EXPECT_EQ(g_run.modules[1].kind, MODULE_INCLUDE);
    EXPECT_TRUE(g_config.client_given);
    ASSERT_EQ(g_config.client_count, 3u);
    EXPECT_EQ(g_config.clients[0], 0x0A000005u);
    EXPECT_EQ(g_config.clients[1], 0xC0A80007u);
    EXPECT_EQ(g_config.clients[2], 0x7F000001u);
}

TEST_F(ConfigTest, ListsGrowWithoutBound) {
    for (int i = 0; i < 3000; ++i) apply("VAR='v" + std::to_string(i) + "' : " + std::to_string(i));
    std::string many = "CLIENT=";
    for (int i = 0; i < 300; ++i) many += "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ",";
    apply(many);
    ASSERT_EQ(g_config.var_count, 3000u);
    EXPECT_STREQ(config_var(2999), "'v2999' : 2999");
    EXPECT_STREQ(config_var(0), "'v0' : 0");
    ASSERT_EQ(g_config.client_count, 300u);
    EXPECT_EQ(g_config.clients[299], 0x0A000132u);  // 10.0.1.50
}

TEST_F(ConfigTest, EmptyClientMarksListGiven) {
    apply("CLIENT=");
    EXPECT_TRUE(g_config.client_given);
    EXPECT_EQ(g_config.client_count, 0u);
}

TEST(ParseIpv4, Addresses) {
    struct Case {
        const char* text;
        bool ok;
        uint8_t bytes[4];
        const char* rest;
    };
    const Case cases[] = {
        {"10.0.0.5", true, {10, 0, 0, 5}, ""},
        {"  x192.168.0.7", true, {192, 168, 0, 7}, ""},
        {"1.2.3.4, 5.6.7.8", true, {1, 2, 3, 4}, ", 5.6.7.8"},
        {"255.255.255.255", true, {255, 255, 255, 255}, ""},
        {"0.0.0.0", true, {0, 0, 0, 0}, ""},
        {"1.2.3", false, {}, nullptr},
        {"1.2.3.256", false, {}, nullptr},
        {"1..2.3", false, {}, nullptr},
        {"1.2.3.", false, {}, nullptr},
        {"99999999999999999999.1.1.1", false, {}, nullptr},
        {"", false, {}, nullptr},
        {"abc", false, {}, nullptr},
    };
    for (const Case& c : cases) {
        uint8_t b[4] = {9, 9, 9, 9};
        const char* end = nullptr;
        bool ok = parse_ipv4(c.text, b, &end);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok && c.ok) {
            EXPECT_EQ(0, std::memcmp(b, c.bytes, 4)) << c.text;
            EXPECT_STREQ(end, c.rest) << c.text;
        }
    }
}

// ---- Module directory fingerprint ----

void write_file(const std::string& path, const std::string& text, time_t mtime) {
    std::ofstream(path, std::ios::binary) << text;
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

TEST_F(ConfigTest, FingerprintOfDirWithoutModulesHashesEmptyText) {
    char fp[65];
    ASSERT_TRUE(module_dir_fingerprint(dir.c_str(), fp));
    EXPECT_EQ(std::string(fp), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    write_file(dir + "/notes.txt", "x", 0);
    write_file(dir + "/a.jsx", "x", 0);
    write_file(dir + "/js", "x", 0);
    ASSERT_TRUE(module_dir_fingerprint(dir.c_str(), fp));
    EXPECT_EQ(std::string(fp), sha_hex(""));
}

TEST_F(ConfigTest, FingerprintListsModulesSortedWithShiftedHour) {
    // 2020-01-01 20:30:00 UTC: the hour is written as 29, the day unchanged.
    const time_t t1 = 1577910600;
    // 2021-06-15 03:04:05 UTC.
    const time_t t2 = 1623726245;
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    write_file(dir + "/a.js", "abc", t1);
    write_file(dir + "/B.JS", "12345", t2);
    write_file(dir + "/\xC3\xA9.jo", "", t1);  // sorts after 'z' (unsigned bytes)
    write_file(dir + "/sub/z.jO", "zz", t2);
    write_file(dir + "/sub/skip.txt", "zz", t2);
    // A sparse file larger than 4 GiB shows both size halves, signed.
    std::string big = dir + "/big.Js";
    write_file(big, "", t1);
    ASSERT_EQ(truncate(big.c_str(), (1LL << 32) + 0xFFFFFFF0LL), 0);
    struct timespec ts[2] = {{t1, 0}, {t1, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), ts, 0), 0);
    // A link to a directory is not descended into.
    ASSERT_EQ(symlink(dir.c_str(), (dir + "/sub/loop").c_str()), 0);

    std::string expected = dir + "/B.JS;2021/06/15 12:04:05;0:5\n" +
                           dir + "/a.js;2020/01/01 29:30:00;0:3\n" +
                           dir + "/big.Js;2020/01/01 29:30:00;1:-16\n" +
                           dir + "/sub/z.jO;2021/06/15 12:04:05;0:2\n" +
                           dir + "/\xC3\xA9.jo;2020/01/01 29:30:00;0:0\n";
    char fp[65];
    ASSERT_TRUE(module_dir_fingerprint(dir.c_str(), fp));
    EXPECT_EQ(std::string(fp), sha_hex(expected));
    // A trailing '/' names the same files with the same paths.
    char fp2[65];
    ASSERT_TRUE(module_dir_fingerprint((dir + "/").c_str(), fp2));
    EXPECT_STREQ(fp, fp2);

    // The matching MODULE_DIR line is accepted and stores the directory.
    apply("MODULE_DIR=" + dir + ">>>" + fp);
    EXPECT_EQ(std::string(g_config.module_dir), dir);
}

// ---- Fatal cases ----
// fatal_exit writes the 8555 message to standard output and exits with 0;
// the child's standard output goes to a file that the parent reads.

std::string counted(const std::string& s) {
    std::string len = std::to_string(s.size());
    return std::string(1, static_cast<char>('0' + len.size())) + len + s;
}

struct FatalCase {
    std::vector<std::string> lines;
    std::string message;
};

TEST_F(ConfigTest, FatalLines) {
    std::vector<std::string> includes;
    for (int i = 0; i < 128; ++i) includes.push_back("INCLUDE=m" + std::to_string(i) + ".js");
    const FatalCase cases[] = {
        {{"TOKEN_KEY='abc"}, "Configのフォーマット不正"},
        {{"TOKEN_KEY=\"abc\\\""}, "Configのフォーマット不正"},
        {{"TIME_INTERVAL=10a"}, "configファイルのTIME_INTERVALは整数を設定してください。"},
        {{"TIME_INTERVAL=-"}, "configファイルのTIME_INTERVALは整数を設定してください。"},
        {{"CLIENT=10.0.0.1,300.1.1.1"}, "ClientのIPアドレス定義\xE3\x80\x80不正"},
        {{"CLIENT=0.0.0.0"}, "ClientのIPアドレス定義\xE3\x80\x80不正"},
        {{"CLIENT=10.0.0.1 ; comment"}, "ClientのIPアドレス定義\xE3\x80\x80不正"},
        {includes, "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。"},
        {{"MODULE_DIR=" + dir + ">>>0000"}, "JSモジュールのディレクトリの内容が変わっています。"},
    };
    int n = 0;
    for (const FatalCase& c : cases) {
        std::string out = dir + "/out" + std::to_string(n++);
        EXPECT_EXIT(
            {
                int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, 1);
                for (const std::string& l : c.lines) apply(l);
                _exit(99);
            },
            ::testing::ExitedWithCode(0), "")
            << c.lines[0];
        std::string text = read_file(out);
        std::string want = "S148555" + counted(c.message);
        EXPECT_TRUE(text.size() >= want.size() &&
                    text.compare(text.size() - want.size(), want.size(), want) == 0)
            << c.lines[0] << " wrote: " << text;
    }
    // 127 INCLUDE lines are accepted.
    for (int i = 0; i < 127; ++i) apply(includes[static_cast<size_t>(i)]);
    EXPECT_EQ(g_run.module_last, 126);
}

TEST_F(ConfigTest, LoadReadsLinesAndLongLinesInPieces) {
    std::string path = dir + "/VELT.config";
    // A 5,000-byte line is read as a piece of 4,095 bytes and the rest;
    // the rest here is a line of its own that sets LOGFILE.
    std::string filler = "VAR=" + std::string(4091, 'x');
    std::ofstream(path, std::ios::binary) << "# comment\r\nTOKEN_KEY = k1\r\n"
                                          << filler << "LOGFILE=/tmp/piece.log\n"
                                          << "DEBUG_PORT=1234";
    config_load(path.c_str());
    EXPECT_STREQ(g_config.token_key, "k1");
    EXPECT_STREQ(g_config.logfile, "/tmp/piece.log");
    EXPECT_STREQ(g_config.debug_port, "1234");
    ASSERT_EQ(g_config.var_count, 1u);
    EXPECT_EQ(std::string(config_var(0)), std::string(4091, 'x'));

    std::string missing = dir + "/none.config";
    std::string out = dir + "/out";
    EXPECT_EXIT(
        {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            config_load(missing.c_str());
            _exit(99);
        },
        ::testing::ExitedWithCode(0), "");
    std::string want = "S148555" + counted("velt設定ファイル(" + missing + ")が開けません");
    std::string text = read_file(out);
    EXPECT_TRUE(text.size() >= want.size() &&
                text.compare(text.size() - want.size(), want.size(), want) == 0)
        << text;
}

}  // namespace
}  // namespace velt
