// The platform layer: the Microsoft C runtime generator, exclusive append
// and the recursive listing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "platform/platform.h"
#include "tests/unit/test_support.h"

namespace velt::platform {
namespace {

TEST(MsRand, SeedOneSequence) {
    ms_srand(1);
    const int expected[] = {41, 18467, 6334, 26500, 19169};
    for (int e : expected) EXPECT_EQ(ms_rand(), e);
}

TEST(MsRand, OtherSeedFollowsFormula) {
    uint32_t state = 0xDEADBEEF;
    ms_srand(state);
    for (int i = 0; i < 1000; ++i) {
        state = state * 214013u + 2531011u;
        int want = static_cast<int>((state >> 16) & 0x7FFF);
        ASSERT_EQ(ms_rand(), want) << "step " << i;
    }
}

TEST(ExclusiveAppend, SecondOpenFailsWhileLockedThenSucceeds) {
    std::string dir = velt::make_temp_dir("velt_platform_");
    std::string path = dir + "/j.log";
    int a = open_exclusive_append(path.c_str(), 1, 0);
    ASSERT_GE(a, 0);
    // flock locks belong to the open file description, so a second open in
    // the same process is refused like another process would be.
    EXPECT_EQ(open_exclusive_append(path.c_str(), 2, 1), -1);
    write_all(a, "one\n", 4);
    close_handle(a);
    int b = open_exclusive_append(path.c_str(), 1, 0);
    ASSERT_GE(b, 0);
    write_all(b, "two\n", 4);
    close_handle(b);
    size_t len = 0;
    char* text = read_whole_file(path.c_str(), &len);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, len), "one\ntwo\n");
    EXPECT_EQ(text[len], '\0');
    delete[] text;
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(ExclusiveAppend, MissingDirectoryFails) {
    EXPECT_EQ(open_exclusive_append("/nonexistent-velt-dir/x.log", 2, 1), -1);
}

void collect(const char* path, const char*, void* ctx) {
    static_cast<std::set<std::string>*>(ctx)->insert(path);
}

TEST(ListFiles, RecursesWithoutFollowingLinks) {
    std::string dir = velt::make_temp_dir("velt_platform_");
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    std::ofstream(dir + "/a.js") << "x";
    std::ofstream(dir + "/sub/b.jo") << "y";
    ASSERT_EQ(symlink(dir.c_str(), (dir + "/sub/loop").c_str()), 0);
    std::set<std::string> seen;
    // A trailing '/' on the directory does not double the separator.
    ASSERT_TRUE(list_files_recursive((dir + "/").c_str(), collect, &seen));
    std::set<std::string> want = {dir + "/a.js", dir + "/sub/b.jo", dir + "/sub/loop"};
    EXPECT_EQ(seen, want);
    EXPECT_FALSE(list_files_recursive((dir + "/none").c_str(), collect, &seen));
    velt::remove_tree(dir);
}

TEST(Env, AssignmentSetsAndEmptyRemoves) {
    ASSERT_TRUE(env_put_assignment("VELT_PLATFORM_T=abc"));
    ASSERT_NE(env_get("VELT_PLATFORM_T"), nullptr);
    EXPECT_STREQ(env_get("VELT_PLATFORM_T"), "abc");
    ASSERT_TRUE(env_put_assignment("VELT_PLATFORM_T="));
    EXPECT_EQ(env_get("VELT_PLATFORM_T"), nullptr);
    EXPECT_FALSE(env_put_assignment("NOEQUALS"));
}

}  // namespace
}  // namespace velt::platform
