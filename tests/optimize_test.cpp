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
    TableNotes notes;
};

Table ReadTable(const std::string& text) {
    TempDir dir;
    Table t;
    long double* raw = nullptr;
    t.count = load_table(dir.Write("d.txt", text).c_str(), &raw, &t.err, &t.notes);
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

    const Input neg = ReadInput("rsun 1\nperiod -3\niterations -5\n");
    EXPECT_EQ(neg.tbl[kInPeriod], 1.0L);
    EXPECT_EQ(neg.tbl[kInIterations], -5.0L);
    EXPECT_TRUE(std::isnan(ReadInput("rsun 1\nperiod nan\n").tbl[kInPeriod]));  // NaN stays
    EXPECT_EQ(ReadInput("rsun 1\niterations=5\n").tbl[kInIterations], 100.0L);  // "=" reads 0
    EXPECT_EQ(ReadInput("rsun 1\ninclination x\n").tbl[kInInclination], 0.0L);
    EXPECT_EQ(ReadInput("rsun 1\nperiod 0x1.8p1\n").tbl[kInPeriod], 3.0L);      // hexadecimal
    EXPECT_EQ(ReadInput("rsun 1\nperiod 2\nperiod 5\n").tbl[kInPeriod], 2.0L);  // first counts

    EXPECT_EQ(ReadInput("rsun\t0.1\n").res, 2);  // the key's blank must be a space
    EXPECT_EQ(ReadInput("").res, 2);
    Input none{};
    EXPECT_EQ(load_input("/nonexistent/p.par", none.tbl, &none.pflag, &none.lflag), 1);
    EXPECT_EQ(none.tbl[kInInclination], 90.0L);  // defaults applied even so
    TempDir dir;
    EXPECT_EQ(load_input(dir.path().c_str(), none.tbl, &none.pflag, &none.lflag),
              1);  // a directory
}

// Every "f" after the key's first following character up to the line end marks the slot; the
// period takes no mark. A key alone on its line reads the number and the marks of the next line.
// CRLF line ends: the value stops at the carriage return and the mark is still seen.
TEST(ParameterFile, FitMarks) {
    EXPECT_EQ(ReadInput("rsun 0.1\neccentr 0.0 fixed\n").pflag, 2);
    EXPECT_EQ(ReadInput("rsun inf\n").pflag, 16);
    EXPECT_EQ(ReadInput("rsun f0.1\n").pflag, 0);  // the first character is not examined
    EXPECT_EQ(ReadInput("rsun 0.1 f\ntshift 5 f\neccentr 0 f\nperiastr 9 f\ninclination 89 f\n"
                        "rplanet 0.01 f\nperiod 3 f\n")
                  .pflag,
              63);
    const Input next = ReadInput("rsun \n0.25 f\n");
    EXPECT_EQ(next.tbl[kInRsun], 0.25L);
    EXPECT_EQ(next.pflag, 16);
    const Input crlf = ReadInput("rsun 0.1 f\r\nperiod 2.5\r\nlin\r\n");
    EXPECT_EQ(crlf.tbl[kInRsun], 0.1L);
    EXPECT_EQ(crlf.tbl[kInPeriod], 2.5L);
    EXPECT_EQ(crlf.pflag, 16);
    EXPECT_EQ(crlf.lflag, 3);

    // The period's mark, by the same rule, goes to the run's options and leaves pflag alone.
    const struct {
        const char* text;
        bool fitted;
    } period[] = {{"rsun 0.1\nperiod 3 f\n", true},
                  {"rsun 0.1\nperiod 3\nlm f\n", false},
                  {"rsun 0.1\nperiod f3\n", false},
                  {"rsun 0.1\nperiod \n3 fitted\n", true},
                  {"rsun 0.1\nperiod 3 fitted\nperiod 4\n", true},
                  {"rsun 0.1 f\n", false}};
    for (const auto& c : period) {
        TempDir dir;
        RunOptions options;
        ASSERT_TRUE(read_options(dir.Write("p.par", c.text).c_str(), &options));
        EXPECT_EQ(options.fit_period, c.fitted) << c.text;
    }
}

// The first "lin" is usually the one inside "inclination": the search looks once more past it.
TEST(ParameterFile, LimbDarkeningKeys) {
    EXPECT_EQ(ReadInput("rsun 0.1\ninclination 89\nlin\n").lflag, 3);  // second search
    EXPECT_EQ(ReadInput("rsun 0.1\ninclination 89\n").lflag, 1);       // only the inner "lin"
    EXPECT_EQ(ReadInput("lin\nrsun 0.1\ninclination 89\n").lflag, 3);  // first "lin" is real
    EXPECT_EQ(ReadInput("rsun 0.1\nlin quad sqrt\n").lflag, 15);
    EXPECT_EQ(ReadInput("rsun 0.1\n# a sqrt-law star\n").lflag, 9);  // anywhere in the text
    EXPECT_EQ(ReadInput("rsun 0.1\nquad\n").lflag, 5);
}

// A key at the very end, with nothing after it: no value, and nothing read beyond. NUL bytes
// end a number but not the search or the mark scan.
TEST(ParameterFile, EndOfTextAndNulBytes) {
    EXPECT_EQ(ReadInput("rsun 0.5\ntshift ").tbl[kInTshift], 0.0L);
    EXPECT_EQ(ReadInput("rsun ").tbl[kInRsun], 0.0L);
    EXPECT_EQ(ReadInput("rsun 0.5\nlm").tbl[kInLm], 0.0L);
    const Input nul = ReadInput(std::string("rsun 0.5\0 f\n\0\0period 3\n", 24));
    EXPECT_EQ(nul.res, 0);
    EXPECT_EQ(nul.tbl[kInRsun], 0.5L);
    EXPECT_EQ(nul.pflag, 16);
    EXPECT_EQ(nul.tbl[kInPeriod], 3.0L);
}

// Silent on the bundled example and on the result file of its fit, read back with its table.
TEST(ParameterFile, NoWarningsOnTheExampleOrAResultFile) {
    TempDir dir;
    const std::string example = std::string(SOURCE_DIR) + "/examples/hotjupiter";
    std::string text = TempDir::ReadFile(example + ".par");
    const std::size_t at = text.find("iterations 30");
    ASSERT_NE(at, std::string::npos);
    const std::string quick = dir.Write("p.par", text.replace(at, 13, "iterations 2"));
    ASSERT_EQ(RunTool({quick, example + ".txt", dir.path() + "/r.par"}).status, 0);
    std::unique_ptr<long double[]> data;
    std::int64_t pnum = 0;
    ASSERT_TRUE(read_observations((example + ".txt").c_str(), &data, &pnum));
    for (const std::string& name : {example + ".par", dir.path() + "/r.par"}) {
        const Input in = ReadInput(TempDir::ReadFile(name));
        const std::vector<std::string> got =
            parameter_warnings("p.par", TempDir::ReadFile(name), in.tbl, data.get(), pnum);
        EXPECT_TRUE(got.empty()) << name << ": " << got[0];
    }
}

// ---- data table ----------------------------------------------------------------------------

// One observation a line, its values separated by blanks, tabs, commas or semicolons. A value
// is converted whole (no cut after 19 characters) and one that underflows is a number. A
// byte-order mark and lines whose first non-blank character is '#' are skipped, CRLF or not.
// Lines with a NaN in any spelling or an empty field, and with a quality flag that is not 0,
// are left out and counted. A first line of names chooses the columns by name.
TEST(DataTable, ObservationsInFileOrder) {
    for (int c = -128; c < 128; ++c)
        EXPECT_EQ(isnumchar(char(c)),
                  std::string("0123456789Ee+-.").find(char(c)) != std::string::npos);
    const struct {
        const char* text;
        std::vector<long double> want;
        std::int64_t missing = 0, first_missing = 0, flagged = 0, first_flagged = 0;
    } cases[] = {
        {"1,2;3\n  4.5\t-6e-1 , +7E+1\n", {1, 2, 3, 4.5L, -0.6L, 70}},
        {"-1.234567890123456e-05 2454218.70215412345678 .5\n",
         {std::strtold("-1.234567890123456e-05", nullptr),
          std::strtold("2454218.70215412345678", nullptr), 0.5L}},
        {"\xEF\xBB\xBF# time flux error\r\n  # second comment 9 9\r\n1 2 3\r\n4 5 6\r\n",
         {1, 2, 3, 4, 5, 6}},
        {"1 -2 3\n1e-99999 1 2e-2466\n", {1, -2, 3, 0, 1, 2e-2466L}},  // σ² 4e-4932 is normal
        {"\n\n# nothing here\n", {}},
        {"", {}},
        {"1 1 1\n2 nan 1\n3,,\n-NaN 1 1\n4 1 NAN\n5 1 1", {1, 1, 1, 5, 1, 1}, 4, 2},
        {"time,flux,flux_err,airmass\n1,2,3,1.2\n", {1, 2, 3}},
        {",time,flux,flux_err\n0,1,2,3\n", {1, 2, 3}},  // pandas' unnamed index
        {"# made by hand\n\nBJD-2454000 sigma FLUX\n1 0.5 2\n", {1, 2, 0.5L}},
        {"time flux err date\n1 2 3 2020-01-05\n", {1, 2, 3}},  // other columns are not read
        {"t f error\n1 2 3\n", {1, 2, 3}},
        // The flux by the order of its names, the uncertainty that goes with it.
        {"btjd sap_flux sap_flux_err pdcsap_flux pdcsap_flux_err\n1 2 3 4 5\n", {1, 4, 5}},
        {"time sap_flux err sap_flux_err\n1 2 3 4\n", {1, 2, 4}},
        {"time flux flux_err quality\n1 1 1 0\n2 1 1 128\n3 nan 1 0\n4 1 1 -0\n5 1 0 1\n",
         {1, 1, 1, 4, 1, 1},
         1,
         4,
         2,
         3},
    };
    for (const auto& c : cases) {
        const Table t = ReadTable(c.text);
        EXPECT_EQ(t.err.kind, TableError::kNone) << c.text;
        EXPECT_EQ(t.values, c.want) << c.text;
        EXPECT_EQ(t.count, std::int64_t(c.want.size())) << c.text;
        EXPECT_EQ(t.notes.missing, c.missing) << c.text;
        EXPECT_EQ(t.notes.first_missing, c.first_missing) << c.text;
        EXPECT_EQ(t.notes.flagged, c.flagged) << c.text;
        EXPECT_EQ(t.notes.first_flagged, c.first_flagged) << c.text;
        EXPECT_EQ(t.notes.magnitude_column, "") << c.text;
    }
}

// f = 10^(-0.4 (m - m̃)), σ_f = 0.4 ln 10 · f · σ_m about the median magnitude m̃ (of an even
// count, the mean of the middle two), of the lines kept; a flux column wins over magnitudes.
TEST(DataTable, MagnitudesBecomeRelativeFlux) {
    const struct {
        const char* text;
        std::vector<long double> mags, sigmas;
        long double median;
        std::string column;
    } cases[] = {
        {"time mag mag_err\n1 10 0.01\n2 11 0.02\n3 12 0.01\n4 10.5 0.1\n5 nan 0.1\n",
         {10, 11, 12, 10.5L},
         {0.01L, 0.02L, 0.01L, 0.1L},
         10.75L,
         "mag"},
        {"HJD Magnitude e_mag\n1 8.25 0.5\n2 8 0.25\n3 9 0.125\n",
         {8.25L, 8, 9},
         {0.5L, 0.25L, 0.125L},
         8.25L,
         "Magnitude"},
    };
    for (const auto& c : cases) {
        const Table t = ReadTable(c.text);
        ASSERT_EQ(t.err.kind, TableError::kNone) << c.text;
        ASSERT_EQ(t.values.size(), 3 * c.mags.size()) << c.text;
        EXPECT_EQ(t.notes.magnitude_column, c.column);
        EXPECT_EQ(t.notes.median_magnitude, c.median) << c.text;
        for (std::size_t k = 0; k < c.mags.size(); ++k) {
            const long double f = std::pow(10.0L, (c.median - c.mags[k]) / 2.5L);
            EXPECT_EQ(t.values[3 * k], k + 1.0L);
            EXPECT_LE(UlpDistance(t.values[3 * k + 1], f), kUlps4) << c.text << k;
            EXPECT_LE(UlpDistance(t.values[3 * k + 2], 0.4L * std::log(10.0L) * f * c.sigmas[k]),
                      kUlps4)
                << c.text << k;
        }
    }
    EXPECT_EQ(ReadTable("time flux err mag mag_err\n1 2 3 4 5\n").values,
              (std::vector<long double>{1, 2, 3}));
}

// What the messages do not show (the case file has them): a file that cannot be opened leaves
// no array.
TEST(DataTable, FileThatCannotBeOpened) {
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
        {0, 1, 1, 0, 1},      {63, 15, 4, 6, 28},    {48, 5, 2, 2, 6},
        {64 | 1, 1, 1, 1, 2}, {0, 1 | 128, 1, 0, 1}, {-1, 3, 2, 6, 14},
    };
    for (const auto& c : cases) {
        const FitCounts n = count_fit(c.parflag, c.ldflag);
        EXPECT_EQ(n.ldnum, c.ldnum) << c.parflag << " " << c.ldflag;
        EXPECT_EQ(n.parnum, c.parnum) << c.parflag << " " << c.ldflag;
        EXPECT_EQ(n.len, c.len) << c.parflag << " " << c.ldflag;
    }
}

// With bits 16 and 32 in ldflag there are six basis columns and eleven unknowns (the last two
// columns zero); nothing may be written past its array.
TEST(FitCounts, HighMaskBitsStayInsideTheWorkArrays) {
    const int parflag = 63, ldflag = 63;
    const FitCounts fc = count_fit(parflag, ldflag);
    ASSERT_EQ(fc.ldnum, 6);
    std::vector<long double> lset(3 * fc.len, 0.0L), data = {0, 1, 1, 1, 1, 1, 2, 1, 1};
    for (int i = 0; i < 3; ++i)
        for (int e = 0; e < fc.len; ++e)
            lset[i * fc.len + e] = (e % fc.ldnum < 4) ? 0.5L + 0.25L * ((e + i) % 5) : 0.0L;
    const int n = fc.parnum + fc.ldnum - 1;
    std::vector<long double> N(n * n, -1.0L), g(n, -1.0L);
    const long double linf[kMaxCoefficients] = {0.1L, 0.2L, 0.3L, 0.0L, 0.0L};
    normal_equations(lset.data(), data.data(), 3, parflag, ldflag, linf, N.data(), g.data());
    for (int a = 0; a < n; ++a) {
        EXPECT_TRUE(std::isfinite(g[a])) << a;
        for (int b = 0; b < n; ++b) EXPECT_TRUE(std::isfinite(N[a * n + b])) << a << " " << b;
    }
    EXPECT_EQ(N[(n - 1) * n + (n - 1)], 0.0L);  // the zero basis column of bit 32
}

// ---- fit on a given design array -----------------------------------------------------------

namespace {

// A design array of `points` points for the masks, filled with smooth made-up values, and data
// whose fluxes follow F = B0 + Σ c_k·B_k exactly.
struct Design {
    FitCounts fc;
    std::vector<long double> lset, data;
};

Design MakeDesign(int points, int parflag, int ldflag, const std::vector<long double>& c) {
    Design d;
    d.fc = count_fit(parflag, ldflag);
    d.lset.resize(points * d.fc.len);
    d.data.resize(3 * points);
    for (int i = 0; i < points; ++i) {
        for (int e = 0; e < d.fc.len; ++e)
            d.lset[i * d.fc.len + e] =
                std::sin((0.37L + 0.21L * e) * i + 1.3L * e) + (e == 0 ? 2 : 0);
        long double f = d.lset[i * d.fc.len];
        for (int k = 1; k < d.fc.ldnum; ++k) f += c[k - 1] * d.lset[i * d.fc.len + k];
        d.data[3 * i] = i;
        d.data[3 * i + 1] = f;
        d.data[3 * i + 2] = 0.001L * (1 + i % 3);
    }
    return d;
}

}  // namespace

TEST(LinearFit, RecoversExactCoefficientsWhateverTheScaleOfSigma) {
    const std::vector<long double> c = {0.375L, -0.25L, 0.125L};
    for (int ldflag : {3, 5, 9, 7, 15}) {
        Design d = MakeDesign(40, 0, ldflag, c);
        long double got[4] = {}, scaled[4] = {};
        fitted_lin(got, d.data.data(), d.lset.data(), 40, 0, ldflag);
        for (int k = 0; k < d.fc.ldnum - 1; ++k)
            EXPECT_LE(std::fabs(got[k] - c[k]), 1e-17L) << "ldflag " << ldflag << " k " << k;
        EXPECT_LE(residual(d.lset.data(), d.data.data(), 40, 0, ldflag), 1e-25L);
        for (int i = 0; i < 40; ++i) d.data[3 * i + 2] *= 1024.0L;  // exact scaling
        fitted_lin(scaled, d.data.data(), d.lset.data(), 40, 0, ldflag);
        for (int k = 0; k < d.fc.ldnum - 1; ++k) EXPECT_EQ(scaled[k], got[k]) << ldflag;
    }
}

// One term on noisy data: c = Σ(y - B0)B1/σ² / Σ B1²/σ², the weights 1/σ² in their place.
TEST(LinearFit, SingleTermClosedForm) {
    Design d = MakeDesign(25, 0, 3, {0.0L});
    long double num = 0, den = 0, cfit[1];
    for (int i = 0; i < 25; ++i) {
        d.data[3 * i + 1] += 0.01L * std::cos(1.7L * i);
        const long double v = d.data[3 * i + 2] * d.data[3 * i + 2];
        num += (d.data[3 * i + 1] - d.lset[2 * i]) * d.lset[2 * i + 1] / v;
        den += d.lset[2 * i + 1] * d.lset[2 * i + 1] / v;
    }
    for (int ldflag : {3, 5}) {
        fitted_lin(cfit, d.data.data(), d.lset.data(), 25, 0, ldflag);
        EXPECT_LE(UlpDistance(cfit[0], num / den), kUlps16) << ldflag;
    }
}

// c_b = u_b / S with S = π + Σ Lf_b·u_b, Lf = -π/3, -π/6, -π/5 by the term's bit.
TEST(LinearFit, LawCoefficientsInvertTheNormalisation) {
    const long double lf[3] = {-kPi / 3, -kPi / 6, -kPi / 5};
    const long double u_all[3] = {0.4L, 0.25L, -0.3L};
    for (int ldflag : {3, 5, 9, 7, 11, 13, 15}) {
        long double S = kPi, u[3], c[3], back[3];
        int n = 0;
        for (int b = 0; b < 3; ++b)
            if (ldflag & (2 << b)) {
                u[n++] = u_all[b];
                S += lf[b] * u_all[b];
            }
        for (int k = 0; k < n; ++k) c[k] = u[k] / S;
        linfit2ld(back, c, ldflag);
        for (int k = 0; k < n; ++k)
            EXPECT_LE(UlpDistance(back[k], u[k]), kUlps16) << "ldflag " << ldflag << " k " << k;
    }
}

// Residuals of exactly ±σ away from the linear-fit model give 1 (the fit of c moves nothing
// when the offsets alternate in sign against terms that do not), and a quarter with σ doubled.
TEST(Residual, WeightedMeanOfSquaredResiduals) {
    Design d = MakeDesign(30, 2, 7, {0.3L, 0.1L});
    EXPECT_LE(residual(d.lset.data(), d.data.data(), 30, 2, 7), 1e-25L);
    Design u = MakeDesign(30, 0, 1, {});
    for (int i = 0; i < 30; ++i) u.data[3 * i + 1] += (i % 2 ? 1 : -1) * u.data[3 * i + 2];
    EXPECT_NEAR(double(residual(u.lset.data(), u.data.data(), 30, 0, 1)), 1.0, 1e-14);
    for (int i = 0; i < 30; ++i) u.data[3 * i + 2] *= 2;
    EXPECT_NEAR(double(residual(u.lset.data(), u.data.data(), 30, 0, 1)), 0.25, 1e-14);
}

// One point with design value F = 0 and derivative 1 for the one fitted parameter: the undamped
// step is exactly the flux y, then the range rules act (the radius resets are doubles widened
// on purpose). With nothing fitted only the range rules act.
TEST(LevenbergMarquardt, RangeRules) {
    const struct {
        int index;
        long double start, y, want;
    } cases[] = {
        {1, 0.5L, 0.7L, 1.0L},   {1, 0.05L, -0.15L, 0.0L},  {3, 0.5L, 0.75L, 1.0L},
        {3, 0.5L, -0.75L, 0.0L}, {4, 0.5L, 1.0L, 0.09},     {4, 0.1L, -0.3L, 0.09},
        {5, 0.5L, 0.75L, 0.009}, {5, 0.01L, -0.25L, 0.009}, {4, 0.5L, 0.5L, 1.0L},
        {4, 0.5L, -0.5L, 0.0L},  {0, 1.0L, 100.0L, 101.0L}, {2, 1.0L, -100.0L, -99.0L},
    };
    const long double lset[2] = {0.0L, 1.0L};
    for (const auto& c : cases) {
        const long double data[3] = {0.0L, c.y, 1.0L};
        long double par[6] = {0.0L, 0.5L, 0.0L, 0.5L, 0.1L, 0.01L};
        par[c.index] = c.start;
        EXPECT_EQ(lm_step(lset, data, 1, par, 1 << c.index, 1, 0.0L), std::fabs(c.y)) << c.index;
        EXPECT_EQ(par[c.index], c.want) << "index " << c.index << " y " << double(c.y);
    }
    long double par[6] = {0, 1.5L, 0, -0.5L, 2.0L, -1.0L};
    const long double none[1] = {1.0L}, data[3] = {0, 1, 1};
    EXPECT_EQ(lm_step(none, data, 1, par, 0, 1, 0.0L), 0.0L);
    EXPECT_EQ(par[1], 1.0L);
    EXPECT_EQ(par[3], 0.0L);
    EXPECT_EQ(par[4], 0.08999999999999999666933093L);
    EXPECT_EQ(par[5], 0.008999999999999999319988397L);
}

// With λ large the solution tends to g/(λ·μ), whose length over all unknowns is 1/λ; the
// returned step sums only the parameter part.
TEST(LevenbergMarquardt, LargeDampingStepsAlongTheGradient) {
    Design d = MakeDesign(20, 1 | 8, 3, {0.2L});
    for (int i = 0; i < 20; ++i) d.data[3 * i + 1] += 0.003L * std::sin(2.1L * i);
    long double linf[1], LMatr[9], LCol[3];
    fitted_lin(linf, d.data.data(), d.lset.data(), 20, 9, 3);
    normal_equations(d.lset.data(), d.data.data(), 20, 9, 3, linf, LMatr, LCol);
    const long double mu = std::sqrt(LCol[0] * LCol[0] + LCol[1] * LCol[1] + LCol[2] * LCol[2]);
    const long double lambda = 1e18L;
    long double par[6] = {0.1L, 0, 0, 0.2L, 0.1L, 0.01L};
    const long double step = lm_step(d.lset.data(), d.data.data(), 20, par, 9, 3, lambda);
    const long double want = (std::fabs(LCol[0]) + std::fabs(LCol[1])) / (lambda * mu);
    EXPECT_LE(std::fabs(step - want) / want, 1e-9L);
}

// A model linear in one parameter p with design derivative 1: F = B0 + p·1 over points of equal
// weight; the step from p = 0 is the weighted mean of y - B0.
TEST(LevenbergMarquardt, UndampedStepSolvesTheLinearisedProblem) {
    const long double lset[6] = {0.0L, 1.0L, 0.0L, 1.0L, 0.0L, 1.0L};
    const long double data[9] = {0, 1.0L, 1, 1, 2.0L, 1, 2, 4.5L, 1};
    long double par[6] = {0, 0, 0, 0, 0.1L, 0.01L};
    EXPECT_LE(UlpDistance(lm_step(lset, data, 3, par, 1, 1, 0.0L), 2.5L), kUlps4);
    EXPECT_LE(UlpDistance(par[0], 2.5L), kUlps4);
}

TEST(FitRun, BestSetRule) {
    EXPECT_TRUE(improves_best(1, NAN, NAN));  // the first step is always recorded
    EXPECT_TRUE(improves_best(1, 5.0L, 1.0L));
    EXPECT_TRUE(improves_best(2, 0.5L, 1.0L));
    EXPECT_FALSE(improves_best(2, 1.0L, 1.0L));  // a tie keeps the earlier set
    EXPECT_FALSE(improves_best(2, NAN, 1.0L));   // NaN is never better
    EXPECT_TRUE(improves_best(3, 7.0L, NAN));    // a NaN best gives way to a number
    EXPECT_FALSE(improves_best(3, NAN, NAN));
}

// A program that runs fits in-process (the fuzzer) replaces the process exit by its own stop;
// the message comes first, as it does before the exit. The exit itself, status 1, is pinned
// through the command line.
namespace {
struct Stopped {
    int status;
};
void ThrowStop(int status) { throw Stopped{status}; }
}  // namespace

TEST(LevenbergMarquardt, SingularStopHandlerReplacesTheExit) {
    const SingularStopHandler previous = set_singular_stop_handler(ThrowStop);
    ASSERT_NE(previous, nullptr);
    const long double zero_column[4] = {1.0L, 0.0L, 1.0L, 0.0L}, data[6] = {0, 1, 1, 1, 1, 1};
    long double c[1];
    int status = -1;
    testing::internal::CaptureStdout();
    try {
        fitted_lin(c, data, zero_column, 2, 0, 3);
    } catch (const Stopped& stop) {
        status = stop.status;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "null det linfit \n");
    EXPECT_EQ(set_singular_stop_handler(previous), &ThrowStop);
    EXPECT_EQ(status, 1);
}
