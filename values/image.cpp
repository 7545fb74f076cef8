// Stored program images: the unpacker and the packer of the packed form.
#include "values/image.h"

#include <algorithm>
#include <cstring>

#include "driver/errors.h"

namespace velt {

namespace {

struct Unpack {
    uint8_t* out;
    size_t cap;
    size_t len;
};

// Makes room for count more output bytes; a corrupt image otherwise.
uint8_t* unpack_room(Unpack& u, size_t count) {
    if (count > u.cap - u.len)
        report_error(1435, "Buffer Overflow(Image: unpacked data runs past %zu bytes)", u.cap);
    uint8_t* p = u.out + u.len;
    u.len += count;
    return p;
}

void unpack_byte(Unpack& u, uint8_t byte) { *unpack_room(u, 1) = byte; }

void unpack_zeros(Unpack& u, size_t count) {
    if (count > 0) std::memset(unpack_room(u, count), 0, count);
}

// A dictionary value with its run: up to 4 zeros follow the value, a longer
// run puts run - 3 zeros before it.
void unpack_dictionary_run(Unpack& u, uint8_t value, size_t run) {
    if (run <= 4) {
        unpack_byte(u, value);
        unpack_zeros(u, run);
    } else {
        unpack_zeros(u, run - 3);
        unpack_byte(u, value);
    }
}

[[noreturn]] void unpack_truncated(uint8_t code, size_t at) {
    report_error(1435, "Buffer Overflow(Image: packed code 0x%02X at byte %zu lacks its next byte)",
                 code, at);
}

}  // namespace

size_t image_unpack(const uint8_t* in, size_t stored_len, uint8_t* out, size_t out_cap) {
    if (stored_len < 6)
        report_error(1435, "Buffer Overflow(Image: packed header needs 6 bytes, has %zu)", stored_len);
    const uint8_t esc_z = in[0], esc_a = in[1], esc_b = in[2], esc_c = in[3];
    const size_t k = in[4], n = in[5];
    const size_t start = 6 + 2 * n + k;
    if (start > stored_len)
        report_error(1435, "Buffer Overflow(Image: packed header of %zu bytes passes the stored length %zu)",
                     start, stored_len);
    const uint8_t* dict = in + 6;
    const uint8_t* values = dict + n;
    const uint8_t* runs = values + n;

    // First dictionary entry of each byte, or -1.
    int entry_of[256];
    for (int& e : entry_of) e = -1;
    for (size_t j = 0; j < n; ++j)
        if (entry_of[dict[j]] < 0) entry_of[dict[j]] = static_cast<int>(j);

    Unpack u{out, out_cap, 0};
    size_t pos = start;
    while (pos < stored_len) {
        const size_t at = pos;
        const uint8_t c = in[pos++];
        const bool has_next = pos < stored_len;
        if (c == 0) {
            unpack_byte(u, 0);
        } else if (c == esc_a || c == esc_b || c == esc_c) {
            // A doubled escape is the escape byte itself; a single one (also
            // at the end of the stream) is its zero run.
            if (has_next && in[pos] == c) {
                ++pos;
                unpack_byte(u, c);
            } else {
                unpack_zeros(u, c == esc_a ? 2 : c == esc_b ? 3 : 4);
            }
        } else if (c == esc_z) {
            if (!has_next) unpack_truncated(c, at);
            const uint8_t count = in[pos++];
            if (count == 0)
                unpack_byte(u, esc_z);
            else
                unpack_zeros(u, count);
        } else if (entry_of[c] >= 0) {
            const size_t j = static_cast<size_t>(entry_of[c]);
            if (j < k) {
                // A stored run length is always a run, 254 included.
                unpack_dictionary_run(u, values[j], runs[j]);
            } else {
                if (!has_next) unpack_truncated(c, at);
                const uint8_t run = in[pos++];
                if (run == 254)
                    unpack_byte(u, c);
                else
                    unpack_dictionary_run(u, values[j], run);
            }
        } else {
            unpack_byte(u, c);
        }
    }
    return u.len;
}

// ---- Packer ----

namespace {

struct PackTables {
    uint8_t esc_z, esc_a, esc_b, esc_c;
    // Code byte of the stored dictionary entry for value v with run code n
    // (n <= 4: v then n zeros; n >= 5: n - 3 zeros then v), or 0.
    std::vector<uint8_t> code_of;  // index value * 256 + run
};

size_t zeros_at(const uint8_t* data, size_t len, size_t i, size_t limit) {
    size_t r = 0;
    while (i + r < len && r < limit && data[i + r] == 0) ++r;
    return r;
}

// Emits a zero run of 1..255 bytes; next is the data byte that follows it
// (-1 at the end), so that a run escape is never read as a doubled one.
void pack_zero_run(const PackTables& t, std::vector<uint8_t>& out, size_t run, int next) {
    if (run == 1) {
        out.push_back(0);
        return;
    }
    uint8_t esc = run == 2 ? t.esc_a : run == 3 ? t.esc_b : run == 4 ? t.esc_c : t.esc_z;
    if (esc != t.esc_z && next != esc) {
        out.push_back(esc);
        return;
    }
    out.push_back(t.esc_z);
    out.push_back(static_cast<uint8_t>(run));
}

void pack_literal(const PackTables& t, std::vector<uint8_t>& out, uint8_t v) {
    if (v == t.esc_a || v == t.esc_b || v == t.esc_c) {
        out.push_back(v);
        out.push_back(v);
    } else if (v == t.esc_z) {
        out.push_back(v);
        out.push_back(0);
    } else {
        out.push_back(v);
    }
}

}  // namespace

std::vector<uint8_t> image_pack(const uint8_t* data, size_t len) {
    size_t freq[256] = {};
    for (size_t i = 0; i < len; ++i) ++freq[data[i]];

    // Escapes and dictionary codes: nonzero bytes, rarest first (bytes the
    // data never holds cost nothing as codes).
    std::vector<uint8_t> order;
    for (int b = 1; b < 256; ++b) order.push_back(static_cast<uint8_t>(b));
    std::stable_sort(order.begin(), order.end(), [&](uint8_t x, uint8_t y) { return freq[x] < freq[y]; });
    PackTables t{order[0], order[1], order[2], order[3], std::vector<uint8_t>(256 * 256, 0)};

    // Count the patterns a greedy pass meets.
    std::vector<size_t> uses(256 * 256, 0);
    for (size_t i = 0; i < len;) {
        if (data[i] == 0) {
            size_t run = zeros_at(data, len, i, 251);
            if (run >= 2 && i + run < len && data[i + run] != 0) {
                ++uses[data[i + run] * 256 + run + 3];
                i += run + 1;
            } else {
                i += run;
            }
        } else {
            size_t run = zeros_at(data, len, i + 1, 4);
            if (run > 0) ++uses[data[i] * 256 + run];
            i += 1 + run;
        }
    }
    // Dictionary: the most used patterns, on the bytes the data never holds.
    std::vector<uint8_t> free_codes;
    for (size_t k = 4; k < order.size(); ++k)
        if (freq[order[k]] == 0) free_codes.push_back(order[k]);
    std::vector<uint32_t> candidates;
    for (uint32_t key = 0; key < 256 * 256; ++key)
        if (uses[key] * ((key & 0xFF) >= 5 ? 2 : 1) > 3) candidates.push_back(key);
    std::stable_sort(candidates.begin(), candidates.end(), [&](uint32_t x, uint32_t y) {
        return uses[x] * ((x & 0xFF) >= 5 ? 2 : 1) > uses[y] * ((y & 0xFF) >= 5 ? 2 : 1);
    });
    size_t entries = std::min(candidates.size(), free_codes.size());
    std::vector<uint8_t> out{t.esc_z, t.esc_a, t.esc_b, t.esc_c, static_cast<uint8_t>(entries),
                             static_cast<uint8_t>(entries)};
    for (size_t j = 0; j < entries; ++j) out.push_back(free_codes[j]);
    for (size_t j = 0; j < entries; ++j) out.push_back(static_cast<uint8_t>(candidates[j] >> 8));
    for (size_t j = 0; j < entries; ++j) out.push_back(static_cast<uint8_t>(candidates[j] & 0xFF));
    for (size_t j = 0; j < entries; ++j) t.code_of[candidates[j]] = free_codes[j];

    // The coded stream.
    for (size_t i = 0; i < len;) {
        if (data[i] == 0) {
            size_t run = zeros_at(data, len, i, 255);
            if (run >= 2 && run <= 251 && i + run < len && data[i + run] != 0 &&
                t.code_of[data[i + run] * 256 + run + 3] != 0) {
                out.push_back(t.code_of[data[i + run] * 256 + run + 3]);
                i += run + 1;
                continue;
            }
            int next = i + run < len ? data[i + run] : -1;
            pack_zero_run(t, out, run, next);
            i += run;
        } else {
            size_t run = zeros_at(data, len, i + 1, 4);
            for (; run > 0; --run)
                if (t.code_of[data[i] * 256 + run] != 0) break;
            if (run > 0) {
                out.push_back(t.code_of[data[i] * 256 + run]);
                i += 1 + run;
            } else {
                pack_literal(t, out, data[i]);
                i += 1;
            }
        }
    }
    return out;
}

}  // namespace velt
