// SHA-256 (FIPS 180-4).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt {

void sha256(const void* data, size_t len, uint8_t digest[32]);
// Digest as 64 lowercase hexadecimal digits plus NUL.
void sha256_hex(const void* data, size_t len, char out[65]);

}  // namespace velt
