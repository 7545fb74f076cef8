// The request token: the generator, the token algorithm against values
// worked out independently, the check's reasons and the closing message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/token.h"
#include "platform/platform.h"
#include "values/text.h"

namespace velt {
namespace {

std::string compute(const std::string& seed, int32_t t, const uint8_t client[4]) {
    std::string out(token_text_room(seed.size()), '\0');
    size_t n = token_compute(seed.data(), seed.size(), t, client, out.data());
    out.resize(n);
    return out;
}

const uint8_t NO_CLIENT[4] = {0, 0, 0, 0};
const uint8_t CLIENT[4] = {192, 168, 1, 20};

TEST(Token, GeneratorIsTheMicrosoftOne) {
    platform::ms_srand(1);
    EXPECT_EQ(platform::ms_rand(), 41);
    EXPECT_EQ(platform::ms_rand(), 18467);
    EXPECT_EQ(platform::ms_rand(), 6334);
}

TEST(Token, AlgorithmMatchesWorkedValues) {
    struct Case {
        const char* seed;
        int32_t t;
        uint8_t client[4];
        const char* token;
    } cases[] = {
        {"", 42, {0, 0, 0, 0}, "00042"},
        {"abcd", 1, {0, 0, 0, 0}, "8k9cSVFlhP8Xs9FlhP8Xs900001"},
        // '.' and '!' are skipped but still count as positions.
        {"Key_-9x.z!", 65535, {10, 1, 2, 3}, "YEptb1gQOvRBCqzVKSE4nLxKzF65535"},
        {"a.b.c.d.", 12345, {127, 0, 0, 1}, "65OFKhOKszKeemMd12345"},
        {"secretKEYmn3f1a2b3c", 54321, {192, 168, 1, 20},
         "TsPCQCkxE91LK7U7TxEuIfGbw4syT2gOI2YEaUoDvNg5Al54321"},
    };
    for (const Case& c : cases) EXPECT_EQ(compute(c.seed, c.t, c.client), c.token) << c.seed;
}

TEST(Token, SeedCarriesKeyLettersAndHexTime) {
    char seed[64];
    size_t n = token_seed("secret", 1700000000, CLIENT, seed);
    EXPECT_EQ(std::string(seed, n), "secretRa5HYPic6553f100");
    // Only the low 32 bits of the time are written.
    n = token_seed("", 5000000000LL, NO_CLIENT, seed);
    EXPECT_EQ(std::string(seed, n), "Mfo7Mfo72a05f200");
}

TEST(Token, IssuedTokenPassesTheCheck) {
    const int64_t now = 1700000000;
    TextBuf out;
    token_message(out, "secret", 600, false, now, CLIENT);
    // X, seed and token as counted strings.
    std::string expected = std::string("X222secretRa5HYPic6553f100") + "255" +
                           "cQlCR7wfoIzaqsGEOdlCLVcoTjF1pG3d2uzbNdCstv6Q0zLjTB61696";
    EXPECT_EQ(std::string(out.data, out.len), expected);
    textbuf_free(out);

    const std::string seed = "secretRa5HYPic6553f100";
    const std::string token = "cQlCR7wfoIzaqsGEOdlCLVcoTjF1pG3d2uzbNdCstv6Q0zLjTB61696";
    auto check = [&](const char* key, int32_t interval, const std::string& s, const std::string& tk, int64_t at,
                     const uint8_t* client) {
        return token_check(key, interval, s.data(), s.size(), tk.data(), tk.size(), at, client);
    };
    EXPECT_EQ(check("secret", 600, seed, token, now + 600, CLIENT), TOKEN_OK);
    EXPECT_EQ(check("secret", 600, seed, token, now + 601, CLIENT), TOKEN_EXPIRED);
    EXPECT_EQ(check("secret", 0, seed, token, now + 100000, CLIENT), TOKEN_OK);
    // Another client address, a changed seed or token: refused.
    EXPECT_EQ(check("secret", 600, seed, token, now, NO_CLIENT), TOKEN_MISMATCH);
    EXPECT_EQ(check("secret", 600, "secretRa5HYPic6553f101", token, now, CLIENT), TOKEN_MISMATCH);
    std::string tampered = token;
    tampered[3] = tampered[3] == 'x' ? 'y' : 'x';
    EXPECT_EQ(check("secret", 600, seed, tampered, now, CLIENT), TOKEN_MISMATCH);
    EXPECT_EQ(check("secret", 600, seed, token.substr(1), now, CLIENT), TOKEN_MISMATCH);
    // No seed; a time part that is not a number.
    EXPECT_EQ(check("secret", 600, "", token, now, CLIENT), TOKEN_NO_SEED);
    EXPECT_EQ(check("secret", 600, seed, "abc12x45", now, CLIENT), TOKEN_BAD_TIME);
    EXPECT_EQ(check("secret", 600, seed, "", now, CLIENT), TOKEN_BAD_TIME);
    EXPECT_EQ(check("secret", 0, seed, "", now, CLIENT), TOKEN_MISMATCH);
}

TEST(Token, AgeCountsModulo65536) {
    const uint8_t* c = NO_CLIENT;
    auto check = [&](const char* token, int32_t interval, int64_t now) {
        return token_check("", interval, "", 0, token, std::strlen(token), now, c);
    };
    // Issued at t = 65530, just before the counter wraps.
    const int64_t issued = 65536LL * 20000 + 65530;
    EXPECT_EQ(check("x65530", 5, issued), TOKEN_OK);
    EXPECT_EQ(check("x65530", 5, issued + 5), TOKEN_OK);
    // 6 and 10 seconds later the clock reads 0 and 4: too old all the same.
    EXPECT_EQ(check("x65530", 5, issued + 6), TOKEN_EXPIRED_NOKEY);
    EXPECT_EQ(check("x65530", 5, issued + 10), TOKEN_EXPIRED_NOKEY);
    // Issued at t = 100 a period and 6 seconds ago.
    EXPECT_EQ(check("00100", 5, 65536LL * 3 + 106), TOKEN_EXPIRED_NOKEY);
    EXPECT_EQ(check("00100", 5, 65536LL * 3 + 105), TOKEN_OK);
    // A time number ahead of the clock is a whole period old.
    EXPECT_EQ(check("00100", 5, 65536LL * 3 + 99), TOKEN_EXPIRED_NOKEY);
    EXPECT_EQ(check("00100", 0, 65536LL * 3 + 106), TOKEN_OK);
}

TEST(Token, KeyedCheckAcrossTheWrap) {
    // A token issued 3 seconds before the wrap, checked 10 seconds later.
    const int64_t issued = 65536LL * 25000 - 3;
    TextBuf out;
    token_message(out, "k", 600, false, issued, CLIENT);
    std::string msg(out.data, out.len);
    textbuf_free(out);
    // X, then seed "k" + 8 letters + 8 hex digits (17 bytes), then the token.
    ASSERT_EQ(msg.substr(0, 4), "X217");
    std::string seed = msg.substr(4, 17);
    std::string token = msg.substr(4 + 17 + 3);
    ASSERT_EQ(token.substr(token.size() - 5), "65533");
    auto check = [&](int64_t at) {
        return token_check("k", 600, seed.data(), seed.size(), token.data(), token.size(), at, CLIENT);
    };
    EXPECT_EQ(check(issued + 10), TOKEN_OK);
    EXPECT_EQ(check(issued + 600), TOKEN_OK);
    EXPECT_EQ(check(issued + 601), TOKEN_EXPIRED);
}

TEST(Token, SeedMustCarryTheKeyAndTheTokenTime) {
    // Each seed gets its own correctly computed token: only the seed's form
    // decides.
    const int64_t now = 1700000000;  // 0x6553f100, t = 0xf100 = 61696
    const int32_t t = 61696;
    struct Case {
        const char* seed;
        int reason;
    } cases[] = {
        {"secretRa5HYPic6553f100", TOKEN_OK},
        {"secretAAAAAAAAf100", TOKEN_OK},            // only the low 16 bits must agree
        {"secretAAAAAAAA1f100", TOKEN_OK},
        {"secretAAAAAAAA6553f101", TOKEN_MISMATCH},  // another time
        {"secretAAAAAAAA6553F100", TOKEN_MISMATCH},  // uppercase hexadecimal
        {"secretAAAAAAAA6553f1x0", TOKEN_MISMATCH},
        {"secretAAAAAAAA", TOKEN_MISMATCH},          // no time
        {"secretAAAAAAAA106553f100", TOKEN_MISMATCH},// more than eight digits
        {"secreTAAAAAAAA6553f100", TOKEN_MISMATCH},  // another key
        {"xsecretAAAAAAA6553f100", TOKEN_MISMATCH},
        {"AAAAAAAA6553f100", TOKEN_MISMATCH},
    };
    for (const Case& c : cases) {
        std::string token = compute(c.seed, t, CLIENT);
        EXPECT_EQ(token_check("secret", 600, c.seed, std::strlen(c.seed), token.data(), token.size(), now, CLIENT),
                  c.reason)
            << c.seed;
        // Also without a time interval.
        EXPECT_EQ(token_check("secret", 0, c.seed, std::strlen(c.seed), token.data(), token.size(), now + 100000,
                              CLIENT),
                  c.reason)
            << c.seed;
    }
}

TEST(Token, ClosingMessageForms) {
    TextBuf out;
    token_message(out, "", 0, false, 1700000000, CLIENT);
    EXPECT_EQ(out.len, 0u);
    token_message(out, "", 0, true, 1700000000, CLIENT);
    EXPECT_EQ(out.len, 0u);
    token_message(out, "k", 0, true, 1700000000, CLIENT);
    EXPECT_EQ(std::string(out.data, out.len), "X12NG12NG");
    textbuf_free(out);
    // Without a key but with a time interval a token is issued too.
    token_message(out, "", 30, false, 5000000000LL, NO_CLIENT);
    EXPECT_EQ(std::string(out.data, out.len),
              "X216Mfo7Mfo72a05f200" "245" "87IWV487IWV4OAOt1txAj5lX3yJwYLA53yJwYLA561952");
    textbuf_free(out);
}

}  // namespace
}  // namespace velt
