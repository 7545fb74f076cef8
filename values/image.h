// Stored program images: the unpacker and the packer of the packed form
// (zero-run escapes and a small dictionary) that a .jo module may be stored in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velt {

// Room the unpack buffer keeps beyond an image's full length.
constexpr size_t IMAGE_UNPACK_SLACK = 512;

// Unpacks the stored_len packed bytes at in (the bytes that follow the
// image's two 32-bit lengths) into out, which holds out_cap bytes (the
// image's full length + IMAGE_UNPACK_SLACK). Returns the number of bytes
// produced; the caller compares it with the full length.
//
// Header: escapes Z, A, B, C, counts K and N, then N dictionary bytes, N
// value bytes and K run lengths; the coded stream runs from 6 + 2N + K to
// stored_len. A header or code cut short by the end of the data, or output
// that would pass out_cap, is a corrupt image: error 1435. Nothing is read
// at or past in + stored_len, nothing written at or past out + out_cap.
size_t image_unpack(const uint8_t* in, size_t stored_len, uint8_t* out, size_t out_cap);

// Packs len bytes into the form image_unpack reads back (header and coded
// stream, without the two lengths), with escapes and a dictionary chosen
// from the data. When the result is not shorter than len the caller stores
// the data unpacked instead: equal lengths mean an unpacked image.
std::vector<uint8_t> image_pack(const uint8_t* data, size_t len);

}  // namespace velt
