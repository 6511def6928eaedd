// Output files: a regular target is replaced whole or not at all (special files, a full disc and
// a missing directory through the tools: tests/data/cli_cases.txt).
#include "output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_util.h"

// Each case: the target's name and what stands there before, whether the write is committed,
// what the target then holds. A regular file is never written in place, its mode and a link to
// it stay, and no case leaves a temporary file behind.
TEST(OutputFile, ReplacesWholeOrNotAtAll) {
    const struct {
        const char* name;
        bool existing, link, commit;
        const char* after;
    } cases[] = {
        {"new.txt", false, false, true, "new\n"},
        {"old.txt", true, false, true, "new\n"},
        {"kept.txt", true, false, false, "old\n"},  // dropped before commit
        {"link.txt", true, true, true, "new\n"},    // the link stays, its file is replaced
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string target = dir.path() + "/" + c.name;
        if (c.existing) chmod(dir.Write(c.link ? "real.txt" : c.name, "old\n").c_str(), 0640);
        ASSERT_EQ(c.link ? symlink("real.txt", target.c_str()) : 0, 0);
        {
            OutputFile out;
            ASSERT_TRUE(out.open(target.c_str()));
            EXPECT_FALSE(out.in_place());
            std::fputs("new\n", out.stream());
            std::fflush(out.stream());
            EXPECT_EQ(TempDir::ReadFile(target), c.existing ? "old\n" : "");  // not yet
            EXPECT_TRUE(!c.commit || out.commit());
        }
        EXPECT_EQ(TempDir::ReadFile(target), c.after);
        struct stat st;
        ASSERT_EQ(lstat(target.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), c.link);
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.existing ? 0640u : st.st_mode & 0777);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1 + c.link);
    }
}
