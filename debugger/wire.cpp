// Link messages: counted lengths, whole sends with total deadlines, answers.
#include "debugger/wire.h"

#include "platform/net.h"

namespace velt::debugger {

using platform::monotonic_ms;

std::string counted_length(size_t n) {
    std::string digits = std::to_string(n);
    return std::string(1, static_cast<char>('A' + digits.size())) + digits;
}

bool write_all_by(int sock, const char* data, size_t len, int64_t deadline) {
    size_t done = 0;
    while (done < len) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0) return false;
        int w = platform::net_wait(sock, true, static_cast<int>(left));
        if (w < 0) return false;
        if (w == 0) continue;
        long n = platform::net_send(sock, data + done, len - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

// Reads exactly len bytes before the deadline.
bool read_exact_by(int sock, char* out, size_t len, int64_t deadline) {
    size_t done = 0;
    while (done < len) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0) return false;
        int w = platform::net_wait(sock, false, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
        if (w < 0) return false;
        if (w == 0) continue;
        long n = platform::net_recv(sock, out + done, len - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A counted length: the letter within the deadline, the digits after it.
bool read_counted_length(int sock, size_t* n, int64_t deadline) {
    char letter;
    if (!read_exact_by(sock, &letter, 1, deadline)) return false;
    int digits = letter - 'A';
    if (digits < 1 || digits > 9) return false;
    char text[9];
    if (!read_exact_by(sock, text, static_cast<size_t>(digits), monotonic_ms() + ANSWER_WAIT_MS)) return false;
    size_t v = 0;
    for (int i = 0; i < digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<size_t>(text[i] - '0');
    }
    *n = v;
    return true;
}

}  // namespace

bool send_message(int sock, const char* data, size_t len) {
    std::string head = counted_length(len);
    int64_t deadline = monotonic_ms() + ANSWER_WAIT_MS;
    if (!write_all_by(sock, head.data(), head.size(), deadline)) return false;
    if (!write_all_by(sock, data, len, deadline)) return false;
    size_t answer = 0;
    if (!read_counted_length(sock, &answer, monotonic_ms() + ANSWER_WAIT_MS)) return false;
    return answer == len;
}

bool receive_message(int sock, std::string& out, int first_wait_ms) {
    size_t n = 0;
    if (!read_counted_length(sock, &n, monotonic_ms() + first_wait_ms)) return false;
    if (n > MAX_PAYLOAD) return false;
    out.assign(n, '\0');
    if (n && !read_exact_by(sock, &out[0], n, monotonic_ms() + ANSWER_WAIT_MS)) return false;
    std::string answer = counted_length(n);
    return write_all_by(sock, answer.data(), answer.size(), monotonic_ms() + ANSWER_WAIT_MS);
}

}  // namespace velt::debugger
