// Output files: a regular target is replaced whole or not at all, special files are written
// in place.
#include "output_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace {

int EntryCount(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            n += name != "." && name != "..";
        }
        closedir(d);
    }
    return n;
}

}  // namespace

// Each case: the target's name and what stands there before, whether the write is committed,
// what the target then holds and whether open() chose to write in place. No case leaves a
// temporary file behind.
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
        std::string target = dir.path() + "/" + c.name;
        if (c.existing) {
            const std::string file = dir.Write(c.link ? "real.txt" : c.name, "old\n");
            chmod(file.c_str(), 0640);
            if (c.link) {
                ASSERT_EQ(symlink("real.txt", target.c_str()), 0);
            }
        }
        {
            OutputFile out;
            ASSERT_TRUE(out.open(target.c_str()));
            EXPECT_FALSE(out.in_place());
            std::fputs("new\n", out.stream());
            std::fflush(out.stream());
            EXPECT_EQ(TempDir::ReadFile(target), c.existing ? "old\n" : "");  // not yet
            if (c.commit) {
                EXPECT_TRUE(out.commit());
            }
        }
        EXPECT_EQ(TempDir::ReadFile(target), c.after);
        struct stat st;
        ASSERT_EQ(lstat(target.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), c.link);
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        if (c.existing) {
            EXPECT_EQ(st.st_mode & 0777, 0640u);  // the mode is kept
        }
        EXPECT_EQ(EntryCount(dir.path()), c.link ? 2 : 1);
    }
}

// Devices are written in place; a write that fails (a full disc) is reported by commit, and so is
// a directory that does not exist by open.
TEST(OutputFile, SpecialFilesInPlaceAndFailures) {
    for (const char* device : {"/dev/null", "/dev/full"}) {
        OutputFile out;
        ASSERT_TRUE(out.open(device)) << device;
        EXPECT_TRUE(out.in_place());
        std::fputs("new\n", out.stream());
        EXPECT_EQ(out.commit(), std::string(device) == "/dev/null") << device;
    }
    TempDir dir;
    OutputFile out;
    EXPECT_FALSE(out.open((dir.path() + "/no/such/dir/r.txt").c_str()));
    EXPECT_EQ(out.stream(), nullptr);
    EXPECT_FALSE(out.commit());
}
