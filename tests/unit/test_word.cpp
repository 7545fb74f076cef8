#include <gtest/gtest.h>

#include "values/word.h"

using namespace velt;

TEST(Word, TagAndPayloadFields) {
    ValueWord w = make_word(TAG_STRING, 0x12345);
    EXPECT_EQ(word_tag(w), TAG_STRING);
    EXPECT_EQ(word_payload(w), 0x12345u);
    EXPECT_TRUE(tag_is_area_word(TAG_ERROR));
    EXPECT_FALSE(tag_is_area_word(TAG_FLOAT));
    uint32_t pos = make_pos(70000, 12);
    EXPECT_EQ(pos_line(pos), 70000u & 0xFFFF);
    EXPECT_EQ(pos_column(pos | 0x80000000u), 12u);
}
