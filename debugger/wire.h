// Link messages over a socket: a counted length (one letter, 'A' plus the
// number of digits, then the decimal digits) and that many payload bytes;
// the receiver answers with the counted length of what it read. Shared by
// the interpreter's link and by velt-debug; keeps no state of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velt::debugger {

// Longest payload accepted: a longer counted length is a link failure
// before anything is allocated.
constexpr size_t MAX_PAYLOAD = 16u * 1024 * 1024;
constexpr int ANSWER_WAIT_MS = 10000;      // a send, an answer, a payload
constexpr int COMMAND_WAIT_MS = 7200000;   // a command while stopped (2 hours)

// "B5" for 5, "D123" for 123.
std::string counted_length(size_t n);
// Writes all bytes before the deadline (a monotonic time in ms).
bool write_all_by(int sock, const char* data, size_t len, int64_t deadline);
// Sends one message whole and checks the answer; false on any failure.
bool send_message(int sock, const char* data, size_t len);
// Receives one message: the counted length within first_wait_ms, the
// payload within ANSWER_WAIT_MS from then, then answers it. False on
// any failure (closed, time out, bad length, over MAX_PAYLOAD).
bool receive_message(int sock, std::string& out, int first_wait_ms);

}  // namespace velt::debugger
