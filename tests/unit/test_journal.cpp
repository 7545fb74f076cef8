// The journal buffer (block and overflow chain) and the record written to
// the log file, also by many processes at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "driver/journal.h"
#include "driver/run.h"
#include "tests/unit/test_support.h"

namespace velt {
namespace {

struct JournalTest : ::testing::Test {
    std::string dir;
    void SetUp() override {
        journal_reset_for_tests();
        dir = make_temp_dir("velt_journal_");
        ASSERT_FALSE(dir.empty());
        std::strcpy(g_run.start_time, "2024/01/02 03:04:05");
    }
    void TearDown() override {
        journal_reset_for_tests();
        remove_tree(dir);
    }
};

// A whole record: the start line, exactly `body`, the end line with a
// local time.
bool is_record(const std::string& rec, const std::string& start_time, const std::string& body) {
    std::string head = "-----  start : " + start_time + "  -----\n";
    if (rec.size() < head.size() + body.size()) return false;
    if (rec.compare(0, head.size(), head) != 0) return false;
    if (rec.compare(head.size(), body.size(), body) != 0) return false;
    // '9' in the pattern stands for any digit.
    const std::string end_line = "\n=====  end : 9999/99/99 99:99:99  ===== \n";
    std::string tail = rec.substr(head.size() + body.size());
    if (tail.size() != end_line.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        bool ok = end_line[i] == '9' ? tail[i] >= '0' && tail[i] <= '9' : tail[i] == end_line[i];
        if (!ok) return false;
    }
    return true;
}

TEST_F(JournalTest, BlockHoldsUpTo32763Bytes) {
    std::string a(32763, 'a');
    journal_append(a.data(), a.size());
    EXPECT_EQ(journal_size(), 32763u);
    EXPECT_FALSE(journal_has_chain());
    journal_append("", 0);
    EXPECT_FALSE(journal_has_chain());
    journal_append("b");
    EXPECT_TRUE(journal_has_chain());
    EXPECT_EQ(journal_size(), 32764u);
}

TEST_F(JournalTest, RecordHasStartChainOldestFirstBlockAndEnd) {
    std::string a(30000, 'a'), b(5000, 'b'), c(100, 'c'), d(32700, 'd');
    journal_append(a.data(), a.size());
    journal_append(b.data(), b.size());  // a+b become the first node
    journal_append(c.data(), c.size());
    journal_append(d.data(), d.size());  // c+d become the second node
    journal_append("tail");
    std::string path = dir + "/j.log";
    journal_write_record(path.c_str());
    EXPECT_EQ(journal_size(), 0u);
    EXPECT_FALSE(journal_has_chain());

    std::string text = read_file(path);
    EXPECT_TRUE(is_record(text, "2024/01/02 03:04:05", a + b + c + d + "tail"))
        << text.substr(0, 80) << "..." << text.substr(text.size() - 60);

    // A second record with an empty buffer appends start and end lines only.
    g_run.start_time[0] = '\0';
    journal_write_record(path.c_str());
    std::string second = read_file(path).substr(text.size());
    EXPECT_TRUE(is_record(second, "", "")) << second;
}

// Twenty processes write their records to one file at the same moment; the
// file ends up with twenty whole records, none mixed with another.
TEST_F(JournalTest, ConcurrentRecordsDoNotInterleave) {
    const int children = 20;
    std::string path = dir + "/shared.log";
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t pids[children];
    for (int i = 0; i < children; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) > 0) {
            }
            // Distinctive text: "<id>|" repeated, several KB, children with
            // odd ids past the block size so the chain is used too.
            char unit[8];
            std::snprintf(unit, sizeof unit, "%02d|", i);
            size_t repeats = i % 2 ? 12000 : 2000;
            for (size_t r = 0; r < repeats; ++r) journal_append(unit);
            journal_write_record(path.c_str());
            _exit(0);
        }
        pids[i] = pid;
    }
    close(gate[0]);
    close(gate[1]);  // opens the gate for every child at once
    for (int i = 0; i < children; ++i) {
        int status = 0;
        ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::string text = read_file(path);
    std::set<int> ids;
    const std::string start = "-----  start : ";
    size_t pos = 0;
    int count = 0;
    while (pos < text.size()) {
        size_t next = text.find(start, pos + 1);
        if (next == std::string::npos) next = text.size();
        std::string rec = text.substr(pos, next - pos);
        ++count;
        ASSERT_EQ(rec.compare(0, start.size(), start), 0);
        int id = std::atoi(rec.c_str() + rec.find('\n') + 1);
        char unit[8];
        std::snprintf(unit, sizeof unit, "%02d|", id);
        std::string expected_body;
        for (size_t r = 0, n = id % 2 ? 12000 : 2000; r < n; ++r) expected_body += unit;
        EXPECT_TRUE(is_record(rec, "2024/01/02 03:04:05", expected_body))
            << "record " << count << " (id " << id << ") is not whole";
        ids.insert(id);
        pos = next;
    }
    EXPECT_EQ(count, children);
    EXPECT_EQ(ids.size(), static_cast<size_t>(children));
}

}  // namespace
}  // namespace velt
