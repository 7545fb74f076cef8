// The journal: a 32,768-byte block plus an overflow chain, written as one
// record to the LOGFILE at the end of a run.
#include "driver/journal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "db/protocol.h"
#include "driver/run.h"
#include "platform/platform.h"

namespace velt {

namespace {

// Text that no longer fits the block goes into a node; the chain is kept
// newest first and each node knows the one added after it.
struct JournalNode {
    JournalNode* older;
    JournalNode* newer;
    size_t len;
    char* text;
};

constexpr size_t BLOCK_LIMIT = 32764;
constexpr int OPEN_ATTEMPTS = 50;
constexpr int OPEN_DELAY_MS = 100;

char g_block[JOURNAL_BLOCK];
size_t g_fill = 0;
JournalNode* g_chain = nullptr;  // newest

JournalNode* oldest_node() {
    JournalNode* n = g_chain;
    while (n && n->older) n = n->older;
    return n;
}

void free_chain() {
    JournalNode* n = g_chain;
    while (n) {
        JournalNode* older = n->older;
        delete[] n->text;
        delete n;
        n = older;
    }
    g_chain = nullptr;
}

}  // namespace

void journal_append(const char* text, size_t len) {
    if (len == 0) return;
    if (g_fill + len < BLOCK_LIMIT) {
        std::memcpy(g_block + g_fill, text, len);
        g_fill += len;
        return;
    }
    JournalNode* n = new JournalNode;
    n->len = g_fill + len;
    n->text = new char[n->len];
    std::memcpy(n->text, g_block, g_fill);
    std::memcpy(n->text + g_fill, text, len);
    n->older = g_chain;
    n->newer = nullptr;
    if (g_chain) g_chain->newer = n;
    g_chain = n;
    g_fill = 0;
}

void journal_append(const char* text) { journal_append(text, std::strlen(text)); }

void journal_write_record(const char* path) {
    int fd = platform::open_exclusive_append(path, OPEN_ATTEMPTS, OPEN_DELAY_MS);
    if (fd < 0) {
        char msg[600];
        int n = std::snprintf(msg, sizeof msg, "open&lock of jounal file(%s)", path);
        size_t mlen = n < 0 ? 0 : static_cast<size_t>(n) < sizeof msg ? static_cast<size_t>(n)
                                                                       : sizeof msg - 1;
        // Code 9999 with the text as a plain counted string: marker '0' plus
        // the number of length digits, the length, the text.
        char head[32];
        int hl = std::snprintf(head, sizeof head, "%zu", mlen);
        std::string out = "S149999";
        out += static_cast<char>('0' + hl);
        out.append(head, static_cast<size_t>(hl));
        out.append(msg, mlen);
        out_write(out.data(), out.size());
        out_flush();
        return;
    }

    // The whole record goes out in one write so that records never mix.
    std::string rec;
    rec.reserve(journal_size() + 160);
    char line[128];
    int n = std::snprintf(line, sizeof line, "-----  start : %s  -----\n", g_run.start_time);
    rec.append(line, static_cast<size_t>(n));
    for (JournalNode* node = oldest_node(); node; node = node->newer) {
        rec.append(node->text, node->len);
    }
    if (g_fill) rec.append(g_block, g_fill);
    std::tm tm{};
    platform::local_time(platform::time_now(), &tm);
    n = std::snprintf(line, sizeof line, "\n=====  end : %d/%02d/%02d %02d:%02d:%02d  ===== \n",
                      tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec);
    rec.append(line, static_cast<size_t>(n));
    platform::write_all(fd, rec.data(), rec.size());

    free_chain();
    g_fill = 0;
    platform::close_handle(fd);
}

size_t journal_size() {
    size_t total = g_fill;
    for (JournalNode* n = g_chain; n; n = n->older) total += n->len;
    return total;
}

bool journal_has_chain() { return g_chain != nullptr; }

void journal_reset_for_tests() {
    free_chain();
    g_fill = 0;
}

}  // namespace velt
