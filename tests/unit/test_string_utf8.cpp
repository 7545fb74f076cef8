// The UTF-8 stepping helpers the built-ins share (builtins/string.h).
#include <gtest/gtest.h>

#include <string>

#include "builtins/string.h"

using namespace velt;

TEST(StringUtf8, CharacterLengthFromFirstByte) {
    const struct {
        unsigned char b;
        uint32_t n;
    } cases[] = {{0x00, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xEF, 3},
                 {0xF0, 4}, {0xF7, 4}, {0xF8, 5}, {0xFB, 5}, {0xFC, 6}, {0xFD, 6}, {0xFE, 1}, {0xFF, 1}};
    for (const auto& c : cases) EXPECT_EQ(utf8_char_length(c.b), c.n) << int(c.b);
}

// The eight-bytes-at-a-time ASCII path must meet multi-byte characters at
// any alignment and stop exactly at the asked count.
TEST(StringUtf8, OffsetsAndCountsAcrossAsciiRuns) {
    for (size_t lead = 0; lead < 20; ++lead) {
        std::string s(lead, 'a');
        s += "あ";  // 3 bytes
        s += std::string(11, 'b');
        s += "é";  // 2 bytes
        size_t chars = lead + 1 + 11 + 1;
        EXPECT_EQ(utf8_count(s.data(), s.size()), chars);
        EXPECT_EQ(utf8_offset(s.data(), s.size(), lead), lead);
        EXPECT_EQ(utf8_offset(s.data(), s.size(), lead + 1), lead + 3);
        EXPECT_EQ(utf8_offset(s.data(), s.size(), lead + 12), lead + 14);
        EXPECT_EQ(utf8_offset(s.data(), s.size(), chars + 5), s.size());
        size_t stepped = 0;
        EXPECT_EQ(utf8_advance(s.data(), s.size(), 0, chars + 5, &stepped), s.size());
        EXPECT_EQ(stepped, chars);
        EXPECT_EQ(utf8_count_between(s.data(), s.size(), lead, lead + 3), 1u);
    }
}

TEST(StringUtf8, CutCharacterReachesTheEnd) {
    const char s[] = "a\xE3\x81";  // a lead byte of three with one continuation byte
    EXPECT_EQ(utf8_count(s, 3), 2u);
    EXPECT_EQ(utf8_offset(s, 3, 2), 3u);
    EXPECT_EQ(utf8_offset(s, 3, 1), 1u);
}

TEST(StringUtf8, FindSkipsMatchesInsideCharactersAndReadsPastNul) {
    std::string s("x\0yあz", 7);
    size_t chars = 0;
    EXPECT_EQ(text_find(s.data(), s.size(), 0, "y", 1, &chars), 2);
    EXPECT_EQ(chars, 2u);
    EXPECT_EQ(text_find(s.data(), s.size(), 0, "z", 1, &chars), 6);
    EXPECT_EQ(chars, 4u);
    // "\x81" is the middle byte of あ (E3 81 82): no character starts there.
    EXPECT_EQ(text_find(s.data(), s.size(), 0, "\x81", 1), -1);
    std::string t = "\xE3" "bcabc";  // the lead byte swallows "bc"
    EXPECT_EQ(text_find(t.data(), t.size(), 0, "bc", 2, &chars), 4);
    EXPECT_EQ(chars, 2u);
    EXPECT_EQ(text_find("abc", 3, 3, "c", 1), -1);
    EXPECT_EQ(text_find("ab", 2, 0, "abc", 3), -1);
}

TEST(StringUtf8, EncodeOneToFourBytes) {
    char out[4];
    EXPECT_EQ(utf8_encode(0x41, out), 1u);
    EXPECT_EQ(utf8_encode(0xE9, out), 2u);
    EXPECT_EQ(std::string(out, 2), "é");
    EXPECT_EQ(utf8_encode(0x3042, out), 3u);
    EXPECT_EQ(std::string(out, 3), "あ");
    EXPECT_EQ(utf8_encode(0x1F600, out), 4u);
    EXPECT_EQ(std::string(out, 4), "😀");
}
