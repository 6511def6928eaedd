// End-to-end runs of the built tool: standard output byte for byte and the exit status.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

const char kRadiusMessage[] =
    "The input file does not contain a valid value of radius of star (0 < R* < 1)";

// A short, valid table: three observations well away from any transit.
const char kSmallTable[] = "0.1 1.0 0.001\n0.2 1.0 0.001\n0.3 1.0 0.001\n";

}  // namespace

TEST(Cli, UsageErrors) {
    const CliResult none = RunTool({});
    EXPECT_EQ(none.out, "usage: transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]\n");
    EXPECT_EQ(none.status, 2);

    const CliResult one = RunTool({"any.par"});
    EXPECT_EQ(one.out, "Data file is not specified.");  // no line feed
    EXPECT_EQ(one.status, 2);
}

TEST(Cli, ParameterFileErrors) {
    TempDir dir;
    const std::string table = dir.Write("d.txt", kSmallTable);

    const CliResult missing = RunTool({dir.path() + "/none.par", table});
    EXPECT_EQ(missing.out, "The input file can not be opened.");
    EXPECT_EQ(missing.status, 2);

    for (const char* text : {"period 3\n", "rsun 0\n", "rsun -0.1\n", "rsun nan\n", "rsun x\n"}) {
        const CliResult bad = RunTool({dir.Write("p.par", text), table});
        EXPECT_EQ(bad.out, kRadiusMessage) << text;
        EXPECT_EQ(bad.status, 2) << text;
    }
}

TEST(Cli, DataTableErrors) {
    TempDir dir;
    const std::string params = dir.Write("p.par", "rsun 0.1\nrplanet 0.01\nperiod 3\n");
    const struct {
        const char* table;
        const char* out;
    } cases[] = {
        {"time flux error\n1 1 0.1\n",
         "The data file holds a value that is not a number on line 1: time\n"},
        {"1 1 0.1\n2020-01-05 1 0.1\n",
         "The data file holds a value that is not a number on line 2: 2020-01-05\n"},
        {"1 1 0.1\n2 1 0\n",
         "The data file holds an uncertainty that is not positive on line 2.\n"},
        {"", "The data file holds no observations.\n"},
        {"# only a comment\n1 2\n", "The data file holds no observations.\n"},
    };
    for (const auto& c : cases) {
        const CliResult res = RunTool({params, dir.Write("d.txt", c.table)});
        EXPECT_EQ(res.out, c.out) << c.table;
        EXPECT_EQ(res.status, 2) << c.table;
    }
    const CliResult missing = RunTool({params, dir.path() + "/none.txt"});
    EXPECT_EQ(missing.out, "The data file can not be opened.\n");
    EXPECT_EQ(missing.status, 2);
}

TEST(Cli, OutOfMemoryIsReportedNotACrash) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than ulimit -v allows, "
                        "and reports allocation failures itself";
    }
    TempDir dir;
    const std::string params = dir.Write("p.par", "rsun 0.1\n");
    std::string rows;
    for (int i = 0; i < 3000000; ++i) rows += "1 1 1\n";  // 9 million values, 144 MB of them
    const CliResult res = RunTool({params, dir.Write("d.txt", rows)}, "ulimit -v 100000; ");
    EXPECT_EQ(res.out, "The memory for the fit can not be obtained.\n");
    EXPECT_EQ(res.status, 2);
}
