#include "optimize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct Input {
    int res;
    long double tbl[kInputSlots];
    int pflag, lflag;
};

// Reads `text` as a parameter file; slot 0 starts at 7 to show that it is kept when absent.
Input ReadInput(const std::string& text) {
    TempDir dir;
    Input in{};
    in.tbl[kInTshift] = 7.0L;
    in.res = load_input(dir.Write("p.par", text).c_str(), in.tbl, &in.pflag, &in.lflag);
    return in;
}

struct Table {
    std::int64_t count;
    std::vector<long double> values;
    TableError err;
};

Table ReadTable(const std::string& text) {
    TempDir dir;
    Table t;
    long double* raw = nullptr;
    t.count = load_table(dir.Write("d.txt", text).c_str(), &raw, &t.err);
    std::unique_ptr<long double[]> owned(raw);
    if (t.count > 0) t.values.assign(raw, raw + t.count);
    return t;
}

}  // namespace

// ---- parameter file ------------------------------------------------------------------------

TEST(ParameterFile, DefaultsAndCorrections) {
    const Input in = ReadInput("rsun 0.1\n");
    EXPECT_EQ(in.res, 0);
    EXPECT_EQ(in.tbl[kInTshift], 7.0L);  // not touched
    EXPECT_EQ(in.tbl[kInEccentr], 0.0L);
    EXPECT_EQ(in.tbl[kInInclination], 90.0L);
    EXPECT_EQ(in.tbl[kInRsun], 0.1L);  // strtold: the nearest long double, not a widened double
    EXPECT_EQ(in.tbl[kInPeriod], 1.0L);
    EXPECT_EQ(in.tbl[kInIterations], 100.0L);
    EXPECT_EQ(in.tbl[kInLm], 0.0L);
    EXPECT_EQ(in.pflag, 0);
    EXPECT_EQ(in.lflag, 1);

    EXPECT_EQ(ReadInput("rsun 1\nperiod -3\niterations -5\n").tbl[kInPeriod], 1.0L);
    EXPECT_EQ(ReadInput("rsun 1\nperiod -3\niterations -5\n").tbl[kInIterations], -5.0L);
    EXPECT_TRUE(std::isnan(ReadInput("rsun 1\nperiod nan\n").tbl[kInPeriod]));  // NaN stays
    EXPECT_EQ(ReadInput("rsun 1\niterations=5\n").tbl[kInIterations], 100.0L);  // "=" reads 0
    EXPECT_EQ(ReadInput("rsun 1\ninclination x\n").tbl[kInInclination], 0.0L);
    EXPECT_EQ(ReadInput("rsun 1\nperiod 0x1.8p1\n").tbl[kInPeriod], 3.0L);  // hexadecimal
    EXPECT_EQ(ReadInput("rsun 1\nperiod 2\nperiod 5\n").tbl[kInPeriod], 2.0L);  // first counts
}

TEST(ParameterFile, RefusalCodes) {
    EXPECT_EQ(ReadInput("rsun\t0.1\n").res, 2);  // the key's blank must be a space
    EXPECT_EQ(ReadInput("").res, 2);
    Input in{};
    EXPECT_EQ(load_input("/nonexistent/p.par", in.tbl, &in.pflag, &in.lflag), 1);
    EXPECT_EQ(in.tbl[kInInclination], 90.0L);  // defaults applied even so
    TempDir dir;
    EXPECT_EQ(load_input(dir.path().c_str(), in.tbl, &in.pflag, &in.lflag), 1);  // a directory
}

TEST(ParameterFile, FitMarks) {
    // Every "f" after the key's first following character up to the line end marks the slot.
    EXPECT_EQ(ReadInput("rsun 0.1\neccentr 0.0 fixed\n").pflag, 2);
    EXPECT_EQ(ReadInput("rsun inf\n").pflag, 16);
    EXPECT_EQ(ReadInput("rsun f0.1\n").pflag, 0);  // the first character is not examined
    EXPECT_EQ(ReadInput("rsun 0.1 f\ntshift 5 f\neccentr 0 f\nperiastr 9 f\ninclination 89 f\n"
                        "rplanet 0.01 f\nperiod 3 f\n")
                  .pflag,
              63);  // period takes no mark
    // A key alone on its line reads the number and the marks of the next line.
    const Input next = ReadInput("rsun \n0.25 f\n");
    EXPECT_EQ(next.tbl[kInRsun], 0.25L);
    EXPECT_EQ(next.pflag, 16);
    // CRLF line ends: the value stops at the carriage return and the mark is still seen.
    const Input crlf = ReadInput("rsun 0.1 f\r\nperiod 2.5\r\nlin\r\n");
    EXPECT_EQ(crlf.tbl[kInRsun], 0.1L);
    EXPECT_EQ(crlf.tbl[kInPeriod], 2.5L);
    EXPECT_EQ(crlf.pflag, 16);
    EXPECT_EQ(crlf.lflag, 3);
}

TEST(ParameterFile, LimbDarkeningKeys) {
    EXPECT_EQ(ReadInput("rsun 0.1\ninclination 89\nlin\n").lflag, 3);  // second search
    EXPECT_EQ(ReadInput("rsun 0.1\ninclination 89\n").lflag, 1);       // only the inner "lin"
    EXPECT_EQ(ReadInput("lin\nrsun 0.1\ninclination 89\n").lflag, 3);  // first "lin" is real
    EXPECT_EQ(ReadInput("rsun 0.1\nlin quad sqrt\n").lflag, 15);
    EXPECT_EQ(ReadInput("rsun 0.1\n# a sqrt-law star\n").lflag, 9);  // anywhere in the text
    EXPECT_EQ(ReadInput("rsun 0.1\nquad\n").lflag, 5);
}

TEST(ParameterFile, EndOfTextAndNulBytes) {
    // A key at the very end, with nothing after it: no value, and nothing read beyond.
    const Input end = ReadInput("rsun 0.5\ntshift ");
    EXPECT_EQ(end.tbl[kInTshift], 0.0L);
    EXPECT_EQ(ReadInput("rsun ").tbl[kInRsun], 0.0L);
    EXPECT_EQ(ReadInput("rsun 0.5\nlm").tbl[kInLm], 0.0L);
    // NUL bytes end a number but not the search or the mark scan.
    const Input nul = ReadInput(std::string("rsun 0.5\0 f\n\0\0period 3\n", 24));
    EXPECT_EQ(nul.res, 0);
    EXPECT_EQ(nul.tbl[kInRsun], 0.5L);
    EXPECT_EQ(nul.pflag, 16);
    EXPECT_EQ(nul.tbl[kInPeriod], 3.0L);
}

// ---- data table ----------------------------------------------------------------------------

TEST(DataTable, NumberCharacters) {
    int count = 0;
    for (int c = -128; c < 128; ++c) count += isnumchar(static_cast<char>(c)) ? 1 : 0;
    EXPECT_EQ(count, 15);  // ten digits and "Ee+-."
    for (char c : std::string("0123456789Ee+-.")) EXPECT_TRUE(isnumchar(c)) << c;
}

TEST(DataTable, ValuesInFileOrder) {
    const Table t = ReadTable("1,2;3\n  4.5\t-6e-1  +7E+1\n8");
    EXPECT_EQ(t.err.kind, TableError::kNone);
    ASSERT_EQ(t.count, 7);  // a last group of one value is the caller's to ignore
    const long double want[7] = {1, 2, 3, 4.5L, -0.6L, 70, 8};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(t.values[i], want[i]) << i;
    EXPECT_EQ(ReadTable("").count, 0);
    EXPECT_EQ(ReadTable("\n\n# nothing here\n").count, 0);
}

TEST(DataTable, TokensConvertedWhole) {
    // The exponent of a long token is kept: no cut after 19 characters.
    const Table t = ReadTable("-1.234567890123456e-05 2454218.70215412345678 .5\n");
    ASSERT_EQ(t.count, 3);
    EXPECT_EQ(t.values[0], std::strtold("-1.234567890123456e-05", nullptr));
    EXPECT_EQ(t.values[1], std::strtold("2454218.70215412345678", nullptr));
    EXPECT_EQ(t.values[2], 0.5L);
    // A value that underflows is a number (zero or subnormal), not an error.
    EXPECT_EQ(ReadTable("1e-99999 1 1").count, 3);
}

TEST(DataTable, CommentsAndLineEnds) {
    const Table t = ReadTable("\xEF\xBB\xBF# time flux error\r\n  # second comment 9 9\r\n"
                              "1 2 3\r\n4 5 6\r\n");
    EXPECT_EQ(t.err.kind, TableError::kNone);
    ASSERT_EQ(t.count, 6);
    EXPECT_EQ(t.values[0], 1.0L);
    EXPECT_EQ(t.values[5], 6.0L);
}

TEST(DataTable, RefusedTokens) {
    const struct {
        const char* text;
        std::int64_t line;
        const char* word;
    } cases[] = {
        {"time flux error\n1 2 3\n", 1, "time"},
        {"1 2 3\n2020-01-05 1 1\n", 2, "2020-01-05"},
        {"1 2 3\r\n4 5 6\r\n7 - 8\r\n", 3, "-"},
        {"1 . 3\n", 1, "."},
        {"1 2 3 1e99999 5 6\n", 1, "1e99999"},  // overflows to infinity
        {"1 2 3\n\n\nflux=1.0e 2 3\n", 4, "flux=1.0e"},
        {"1 2 3 # trailing note\n", 1, "note"},  // only whole lines are comments
    };
    for (const auto& c : cases) {
        const Table t = ReadTable(c.text);
        EXPECT_EQ(t.count, -1) << c.text;
        EXPECT_EQ(t.err.kind, TableError::kNotNumber) << c.text;
        EXPECT_EQ(t.err.line, c.line) << c.text;
        EXPECT_EQ(t.err.word, c.word) << c.text;
    }
    // A word that runs on is cut in the message.
    const Table longword = ReadTable(std::string(500, 'x') + "e\n");
    EXPECT_EQ(longword.err.word, std::string(80, 'x') + "...");
}

TEST(DataTable, UncertaintyMustBePositive) {
    const Table zero = ReadTable("1 2 0.001\n2 3 0\n");
    EXPECT_EQ(zero.err.kind, TableError::kUncertainty);
    EXPECT_EQ(zero.err.line, 2);
    EXPECT_EQ(ReadTable("1 2 3 4 5\n-6 7 8 9\n").err.line, 2);  // grouping runs across lines
    EXPECT_EQ(ReadTable("1 -2 3\n4 -5\n").count, 5);  // negative fluxes and a short tail pass
}

TEST(DataTable, UnreadableFile) {
    TempDir dir;
    TableError err;
    long double* raw = reinterpret_cast<long double*>(&err);
    EXPECT_EQ(load_table("/nonexistent/d.txt", &raw, &err), -1);
    EXPECT_EQ(err.kind, TableError::kOpen);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(load_table(dir.path().c_str(), &raw, &err), -1);  // a directory
    EXPECT_EQ(err.kind, TableError::kOpen);
}

// ---- counts --------------------------------------------------------------------------------

TEST(FitCounts, OnlyTheSixLowBitsCount) {
    const struct {
        int parflag, ldflag, ldnum, parnum, len;
    } cases[] = {
        {0, 1, 1, 0, 1},  {63, 15, 4, 6, 28}, {48, 5, 2, 2, 6},
        {64 | 1, 1, 1, 1, 2}, {0, 1 | 128, 1, 0, 1}, {-1, 3, 2, 6, 14},
    };
    for (const auto& c : cases) {
        const FitCounts n = count_fit(c.parflag, c.ldflag);
        EXPECT_EQ(n.ldnum, c.ldnum) << c.parflag << " " << c.ldflag;
        EXPECT_EQ(n.parnum, c.parnum) << c.parflag << " " << c.ldflag;
        EXPECT_EQ(n.len, c.len) << c.parflag << " " << c.ldflag;
    }
}
