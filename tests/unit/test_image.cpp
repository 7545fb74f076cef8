// The unpacker of packed program images: every escape, the dictionary with
// stored and inline run lengths, the stream's end, and corrupt data.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"
#include "values/image.h"

using namespace velt;

namespace {

using Bytes = std::vector<uint8_t>;

struct Image : ::testing::Test {
    void SetUp() override { reset_interpreter(); }
    void TearDown() override { reset_interpreter(); }
};

// Escapes of the test images: Z = 0xF0, A = 0xF1, B = 0xF2, C = 0xF3.
constexpr uint8_t Z = 0xF0, A = 0xF1, B = 0xF2, C = 0xF3;

// Dictionary of the test images: bytes 0x10, 0x11, 0x12, 0x13 with values
// 0x7A..0x7D; the first three carry stored runs 3, 254 and 0, the last one
// takes its run from the stream.
constexpr uint8_t D3 = 0x10, D254 = 0x11, D0 = 0x12, DX = 0x13;

Bytes packed(const Bytes& stream) {
    Bytes p{Z, A, B, C, 3, 4, D3, D254, D0, DX, 0x7A, 0x7B, 0x7C, 0x7D, 3, 254, 0};
    p.insert(p.end(), stream.begin(), stream.end());
    return p;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes r;
    for (const Bytes& b : parts) r.insert(r.end(), b.begin(), b.end());
    return r;
}

Bytes zeros(size_t n) { return Bytes(n, 0); }

// Unpacks from and into buffers of exactly the given sizes, so that the
// sanitizer build catches any access outside them.
Bytes unpack(const Bytes& image, size_t cap = 1024) {
    Bytes in(image);
    std::vector<uint8_t> out(cap, 0xEE);
    size_t len = image_unpack(in.data(), in.size(), out.data(), out.size());
    EXPECT_LE(len, cap);
    out.resize(len);
    return out;
}

struct Case {
    const char* what;
    Bytes stream;
    Bytes expected;
};

TEST_F(Image, EscapesDictionaryAndStreamEnd) {
    const Case cases[] = {
        {"plain bytes and zero", {0x41, 0x00, 0x42, 0xFF}, {0x41, 0x00, 0x42, 0xFF}},
        {"A is two zeros", {A, 0x41}, {0, 0, 0x41}},
        {"B is three zeros", {B, 0x41}, {0, 0, 0, 0x41}},
        {"C is four zeros", {C, 0x41}, {0, 0, 0, 0, 0x41}},
        {"doubled A, B, C are the bytes", {A, A, B, B, C, C}, {A, B, C}},
        {"A then B is two runs", {A, B, 0x41}, {0, 0, 0, 0, 0, 0x41}},
        {"tripled A is the byte then a run", {A, A, A}, {A, 0, 0}},
        {"A at the end", {0x41, A}, {0x41, 0, 0}},
        {"B at the end", {0x41, B}, {0x41, 0, 0, 0}},
        {"C at the end", {0x41, C}, {0x41, 0, 0, 0, 0}},
        {"Z with a count", {Z, 5, 0x41}, cat({zeros(5), {0x41}})},
        {"Z with 0 is the byte", {Z, 0, 0x41}, {Z, 0x41}},
        {"Z with 255", {Z, 255}, zeros(255)},
        {"Z swallows an escape as its count", {Z, A}, zeros(A)},
        {"stored run 3: value then zeros", {D3}, {0x7A, 0, 0, 0}},
        {"stored run 254 is a plain run", {D254, 0x41}, cat({zeros(251), {0x7B, 0x41}})},
        {"stored run 0: the value alone", {D0, 0x41}, {0x7C, 0x41}},
        {"stored run takes no next byte", {D3, 5}, {0x7A, 0, 0, 0, 5}},
        {"inline run 0", {DX, 0}, {0x7D}},
        {"inline run 4", {DX, 4}, {0x7D, 0, 0, 0, 0}},
        {"inline run 5", {DX, 5}, {0, 0, 0x7D}},
        {"inline run 253", {DX, 253}, cat({zeros(250), {0x7D}})},
        {"inline run 254 is the byte itself", {DX, 254}, {DX}},
        {"inline run 255", {DX, 255}, cat({zeros(252), {0x7D}})},
        {"empty stream", {}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(unpack(packed(c.stream)), c.expected) << c.what;
}

TEST_F(Image, HeaderWithoutDictionary) {
    // K = N = 0: only the escapes; a dictionary-looking byte is plain.
    EXPECT_EQ(unpack({Z, A, B, C, 0, 0, 0x10, A, Z, 3}), (Bytes{0x10, 0, 0, 0, 0, 0}));
    // The same byte as two escapes acts as the first one listed.
    EXPECT_EQ(unpack({Z, A, A, C, 0, 0, A, B}), (Bytes{0, 0, B}));
    // A dictionary byte listed twice uses its first entry.
    EXPECT_EQ(unpack({Z, A, B, C, 0, 2, 0x10, 0x10, 0x61, 0x62, 0x10, 0}), (Bytes{0x61}));
}

TEST_F(Image, OutputFillsTheBufferExactly) {
    EXPECT_EQ(unpack(packed({C}), 4), zeros(4));
    EXPECT_EQ(unpack(packed({Z, 200, DX, 255}), 453), cat({zeros(452), {0x7D}}));
    EXPECT_EQ(unpack(packed({}), 0), Bytes{});
}

struct Corrupt {
    const char* what;
    Bytes image;
    size_t cap;
    const char* message_part;
};

TEST_F(Image, CorruptImagesAre1435) {
    const Corrupt cases[] = {
        {"header shorter than 6 bytes", {Z, A, B, C, 0}, 64, "header"},
        {"no bytes at all", {}, 64, "header"},
        {"dictionary past the stored length", {Z, A, B, C, 1, 3, 0x10, 0x11, 0x12, 0x7A}, 64, "header"},
        {"run lengths past the stored length", {Z, A, B, C, 2, 1, 0x10, 0x7A, 3}, 64, "header"},
        {"Z without its count", packed({0x41, Z}), 64, "lacks its next byte"},
        {"inline dictionary byte without its run", packed({DX}), 64, "lacks its next byte"},
        {"one byte past the buffer", packed({C, 0x41}), 4, "runs past 4 bytes"},
        {"zero run past the buffer", packed({Z, 255}), 254, "runs past 254 bytes"},
        {"stored run past the buffer", packed({D254}), 251, "runs past 251 bytes"},
        {"inline run past the buffer", packed({DX, 255}), 252, "runs past 252 bytes"},
        {"doubled escape past the buffer", packed({0x41, A, A}), 1, "runs past 1 bytes"},
        {"any byte into an empty buffer", packed({0x41}), 0, "runs past 0 bytes"},
    };
    for (const Corrupt& c : cases) {
        Failure f = failure_of([&] { unpack(c.image, c.cap); });
        EXPECT_EQ(f.code, "1435") << c.what;
        EXPECT_NE(f.message.find("Buffer Overflow(Image: "), std::string::npos) << c.what << ": " << f.message;
        EXPECT_NE(f.message.find(c.message_part), std::string::npos) << c.what << ": " << f.message;
    }
}

}  // namespace

namespace {

// Data shaped like image sections: 16-byte cells with small words, text,
// long zero stretches, and every byte value (escapes included).
Bytes cell_like_data() {
    Bytes d;
    for (uint32_t i = 0; i < 600; ++i) {
        uint32_t words[4] = {0x0301u + (i % 7), i, i % 3 ? 0 : 0x10000u + i, 0};
        for (uint32_t w : words)
            for (int s = 0; s < 32; s += 8) d.push_back(static_cast<uint8_t>(w >> s));
    }
    for (const char* p = "console.log(\"こんにちは\"); var x = 1;"; *p; ++p) d.push_back(static_cast<uint8_t>(*p));
    d.insert(d.end(), 700, 0);
    for (int b = 255; b >= 0; --b) d.push_back(static_cast<uint8_t>(b));
    return d;
}

TEST_F(Image, PackRoundTrips) {
    Bytes all_bytes;
    for (int rep = 0; rep < 3; ++rep)
        for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<uint8_t>(b));
    Bytes escapes_and_zeros;
    for (int rep = 0; rep < 50; ++rep)
        for (uint8_t b : {0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0})
            escapes_and_zeros.push_back(b);
    // Every nonzero byte equally often, so the escapes are bytes of the data,
    // each after zero runs of 2, 3 and 4 and doubled.
    Bytes escapes_in_data;
    for (int b = 1; b < 256; ++b)
        for (uint8_t x : {0, 0, b, 0, 0, 0, b, 0, 0, 0, 0, b, b, b}) escapes_in_data.push_back(x);
    const Bytes cases[] = {{},        {0},       {0, 0},           {7},           zeros(1000),
                           all_bytes, escapes_and_zeros, escapes_in_data, cell_like_data()};
    for (const Bytes& data : cases) {
        Bytes p = image_pack(data.data(), data.size());
        EXPECT_EQ(unpack(p, data.size() + IMAGE_UNPACK_SLACK), data) << "size " << data.size();
    }
    // Random data, mostly zeros and a few byte values, in many shapes.
    std::mt19937 rng(14);
    for (int round = 0; round < 40; ++round) {
        Bytes data(rng() % 3000);
        const uint32_t spread = 1 + rng() % 255;
        for (uint8_t& b : data) b = rng() % 3 ? 0 : static_cast<uint8_t>(rng() % spread + (rng() % 2 ? 0 : 240));
        Bytes p = image_pack(data.data(), data.size());
        ASSERT_EQ(unpack(p, data.size() + IMAGE_UNPACK_SLACK), data) << "round " << round;
    }
    // Image-like data packs well.
    Bytes cells = cell_like_data();
    EXPECT_LT(image_pack(cells.data(), cells.size()).size(), cells.size() / 2);
}

}  // namespace
