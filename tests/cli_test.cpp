// End-to-end runs of the built tool: standard output byte for byte and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "optimize.h"

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

// ---- the fit through the command line ------------------------------------------------------

namespace {

constexpr long double kPiL = 3.14159265358979323851L;

// One transit of a hot Jupiter (lin + quad), made with the model itself, with a fixed wobble
// of a few hundred ppm so that the fit has something to do; times in days.
std::string SyntheticTable(int points, long double wobble) {
    std::vector<long double> data(3 * points);
    for (int i = 0; i < points; ++i) {
        data[3 * i] = 1.4L + 0.4L * i / points;
        data[3 * i + 2] = 0.0003L;
    }
    long double par[6] = {0, 0, 0, 0, 0.115L, 0.0138L};
    const long double ci = std::cos(86.8L * kPiL / 180);
    par[3] = ci * ci;
    par[0] = phase_parameter(1.6L, 3.2L, par);
    std::vector<long double> basis(3 * points);
    der_set_norm_ci(basis.data(), data.data(), points, 3.2L, par, 0, 1 | 2 | 4);
    const long double S = kPiL - kPiL / 3 * 0.36L - kPiL / 6 * 0.22L;
    std::string text = "# time flux error\n";
    char line[128];
    for (int i = 0; i < points; ++i) {
        const long double* B = &basis[3 * i];
        const long double flux =
            B[0] + 0.36L / S * B[1] + 0.22L / S * B[2] + wobble * std::sin(7.3L * i);
        std::snprintf(line, sizeof line, "%.19Lg %.19Lg %.19Lg\n", data[3 * i], flux,
                      data[3 * i + 2]);
        text += line;
    }
    return text;
}

const char kFitParams[] =
    "tshift 1.601 f\neccentr 0\nperiastr 90\ninclination 86.0 f\nrsun 0.12 f\n"
    "rplanet 0.0133 f\nperiod 3.2\nlm 0.01\nlin\nquad\n";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace

TEST(CliFit, ReportOfTheStartingSetMatchesTheModelChain) {
    // An iteration count below 1 runs no step: the report is the starting set, evaluated once.
    // The expected bytes are assembled here from the library's pieces and the report formats.
    TempDir dir;
    const std::string table = dir.Write("d.txt", SyntheticTable(300, 2e-4L));
    const std::string params = dir.Write("p.par", std::string(kFitParams) + "iterations 0.5\n");

    long double inp[kInputSlots], par[6];
    int pflag, lflag;
    ASSERT_TRUE(read_parameters(params.c_str(), inp, par, &pflag, &lflag));
    std::unique_ptr<long double[]> data;
    std::int64_t pnum;
    ASSERT_TRUE(read_observations(table.c_str(), &data, &pnum));
    par[0] = phase_parameter(inp[kInTshift], inp[kInPeriod], par);
    const FitCounts fc = count_fit(pflag, lflag);
    std::vector<long double> st(fc.len * pnum);
    der_set_norm_ci(st.data(), data.get(), pnum, inp[kInPeriod], par, pflag, lflag);
    long double linf[3], ld[3], shown[6];
    fitted_lin(linf, data.get(), st.data(), pnum, pflag, lflag);
    linfit2ld(ld, linf, lflag);
    const long double chi2 = residual(st.data(), data.get(), pnum, pflag, lflag);
    report_values(par, inp[kInPeriod], shown);
    const FitUncertainties unc = fit_uncertainties(st.data(), data.get(), pnum, inp[kInPeriod],
                                                   par, pflag, lflag, chi2);

    auto block = [&](const long double* v, const long double* c, long double period) {
        const char* names[6] = {"tshift ", "eccentr ", "periastr ",
                                "inclination ", "rsun ", "rplanet "};
        const char* marks[6] = {"fitted", "", "", "fitted", "fitted", "fitted"};
        std::string s;
        char buf[200];
        for (int i = 0; i < 6; ++i) {
            std::snprintf(buf, sizeof buf, "%s  %.19Lg %s\n", names[i], v[i], marks[i]);
            s += buf;
        }
        std::snprintf(buf, sizeof buf, "period  %.19Lg \nlin  %.19Lg \nquad  %.19Lg \n", period,
                      c[0], c[1]);
        s += buf;
        std::snprintf(buf, sizeof buf, "\nchi_square_reduced  %.19Lg ", chi2);
        return s + buf;
    };
    const std::string report = block(shown, ld, 3.2L);
    const std::string expected =
        report + "\n\n\n\n\n\n1-sigma uncertainties (covariance at the best fit, scaled by "
                 "chi_square_reduced when above 1; 0 = not fitted):\n" +
        block(unc.par, unc.ld, 0.0L) + "\n";

    const CliResult res = RunTool({params, table, dir.path() + "/result.txt"});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, expected);
    EXPECT_EQ(dir.Read("result.txt"), report + "\n");  // a single line feed after the chi-square
    // The starting values come back in the report's units.
    EXPECT_NEAR(double(shown[0]), 1.601, 1e-15);
    EXPECT_NEAR(double(shown[3]), 86.0, 1e-13);
}

TEST(CliFit, ProgressLinesAgreeWithTheReport) {
    TempDir dir;
    const std::string table = dir.Write("d.txt", SyntheticTable(300, 2e-4L));
    const std::string params = dir.Write("p.par", std::string(kFitParams) + "iterations 6\n");
    const CliResult res = RunTool({params, table});
    ASSERT_EQ(res.status, 0);
    const std::vector<std::string> lines = Lines(res.out);

    // "%d   %.19Lg     ... %.19Lg    %.19Lg": i, tshift, e, ω, rsun, rplanet, i, step, chi².
    std::vector<std::vector<std::string>> progress;
    for (const std::string& line : lines) {
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) break;
        std::vector<std::string> fields;
        std::size_t at = line.find("   ");
        fields.push_back(line.substr(0, at));
        for (int f = 0; f < 8; ++f) {
            const std::string sep = f == 0 ? "   " : (f < 7 ? "     " : "    ");
            ASSERT_EQ(line.compare(at, sep.size(), sep), 0) << line;
            at += sep.size();
            const std::size_t end = line.find(' ', at);
            fields.push_back(line.substr(at, end == std::string::npos ? end : end - at));
            if (end != std::string::npos) at = end;
        }
        progress.push_back(fields);
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress[0][0], "1");  // the first step is always recorded
    for (std::size_t k = 1; k < progress.size(); ++k) {
        EXPECT_GT(std::stoi(progress[k][0]), std::stoi(progress[k - 1][0]));
        EXPECT_LT(std::strtold(progress[k][8].c_str(), nullptr),
                  std::strtold(progress[k - 1][8].c_str(), nullptr));
    }
    // The last progress line is the best set: the report shows the very same digits.
    const std::vector<std::string>& best = progress.back();
    const std::string report = res.out.substr(res.out.find("tshift "));
    EXPECT_NE(report.find("tshift   " + best[1] + " fitted\n"), std::string::npos);
    EXPECT_NE(report.find("eccentr   " + best[2] + " \n"), std::string::npos);
    EXPECT_NE(report.find("periastr   " + best[3] + " \n"), std::string::npos);
    EXPECT_NE(report.find("rsun   " + best[4] + " fitted\n"), std::string::npos);
    EXPECT_NE(report.find("rplanet   " + best[5] + " fitted\n"), std::string::npos);
    EXPECT_NE(report.find("inclination   " + best[6] + " fitted\n"), std::string::npos);
    EXPECT_NE(report.find("\nchi_square_reduced  " + best[8] + " \n"), std::string::npos);
}

TEST(CliFit, ResultFileRoundTrips) {
    // A result file read back as a parameter file starts where the first fit ended.
    TempDir dir;
    const std::string table = dir.Write("d.txt", SyntheticTable(300, 2e-4L));
    const std::string params = dir.Write("p.par", std::string(kFitParams) + "iterations 8\n");
    const std::string result = dir.path() + "/result.txt";
    const CliResult first = RunTool({params, table, result});
    ASSERT_EQ(first.status, 0);
    const std::string again = dir.Write("again.par", dir.Read("result.txt") + "iterations 0.5\n");
    const CliResult second = RunTool({again, table});
    ASSERT_EQ(second.status, 0);
    EXPECT_EQ(second.out.find("1   "), std::string::npos);  // no step was taken
    for (const char* name : {"tshift ", "eccentr ", "periastr ", "inclination ", "rsun ",
                             "rplanet ", "period ", "lin ", "quad ", "chi_square_reduced "}) {
        const long double a = ReportValue(first.out, name), b = ReportValue(second.out, name);
        EXPECT_LE(std::fabs(a - b), 1e-15L * std::fmax(1.0L, std::fabs(a)))
            << name << " " << double(a) << " " << double(b);
    }
    // The same parameters are marked as fitted and the same terms are in use.
    const std::string head1 = first.out.substr(first.out.find("tshift "), 120);
    const std::string head2 = second.out.substr(second.out.find("tshift "), 120);
    EXPECT_EQ(std::count(head1.begin(), head1.end(), 'f'), std::count(head2.begin(), head2.end(), 'f'));
    // With four file arguments no result file is written.
    const CliResult four = RunTool({params, table, dir.path() + "/r4.txt", "extra"});
    EXPECT_EQ(four.status, 0);
    EXPECT_EQ(TempDir::ReadFile(dir.path() + "/r4.txt"), "");
}

TEST(CliFit, IterationCountsBelowOneRunNoStep) {
    TempDir dir;
    const std::string table = dir.Write("d.txt", SyntheticTable(120, 2e-4L));
    for (const char* count : {"iterations 0.5\n", "iterations -5\n", "iterations nan\n"}) {
        const CliResult res = RunTool({dir.Write("p.par", std::string(kFitParams) + count), table});
        EXPECT_EQ(res.status, 0) << count;
        EXPECT_EQ(res.out.compare(0, 7, "tshift "), 0) << count;  // no progress line first
        EXPECT_NEAR(double(ReportValue(res.out, "rsun ")), 0.12, 1e-18) << count;
    }
    const CliResult endless =
        RunTool({dir.Write("p.par", std::string(kFitParams) + "iterations inf\n"), table});
    EXPECT_EQ(endless.out, "The input file asks for an infinite number of iterations.\n");
    EXPECT_EQ(endless.status, 2);
}

TEST(CliFit, SingularSystemsStopWithStatusOne) {
    TempDir dir;
    // No point in transit: the linear term's column is 0 everywhere.
    const std::string flat = dir.Write("flat.txt", "0.0 1 0.001\n0.1 1 0.001\n0.2 1 0.001\n");
    const CliResult linfit = RunTool(
        {dir.Write("p.par", "tshift 1.6\nrsun 0.1\nrplanet 0.01\nperiod 3.2\nlin\n"), flat});
    EXPECT_EQ(linfit.out, "null det linfit \n");
    EXPECT_EQ(linfit.status, 1);
    // A fitted radius whose design rows are 0 at every point, no damping.
    const CliResult lm =
        RunTool({dir.Write("p.par", "tshift 1.6\nrsun 0.1 f\nrplanet 0.01\nperiod 3.2\n"), flat});
    EXPECT_EQ(lm.out, "null det lm");
    EXPECT_EQ(lm.status, 1);
}

TEST(CliFit, ResultFileThatCannotBeWritten) {
    TempDir dir;
    const std::string table = dir.Write("d.txt", SyntheticTable(120, 2e-4L));
    const std::string params = dir.Write("p.par", std::string(kFitParams) + "iterations 1\n");
    const CliResult res = RunTool({params, table, dir.path() + "/no/such/dir/r.txt"});
    EXPECT_EQ(res.status, 2);
    EXPECT_NE(res.out.find("\nchi_square_reduced  "), std::string::npos);  // the report stands
    const std::string tail = "The result file can not be opened.\n";
    ASSERT_GE(res.out.size(), tail.size());
    EXPECT_EQ(res.out.substr(res.out.size() - tail.size()), tail);
}

TEST(CliFit, PublishedTessLightCurve) {
    // HD 209458 b, TESS sector 56, started from the shipped file (moved off the published
    // values): the fit ends at the independent reference fit of the data's README.
    const std::string base = std::string(SHARED_DATA_DIR) + "/hd209458b_tess_s56";
    std::string params = TempDir::ReadFile(base + ".params");
    if (params.empty()) GTEST_SKIP() << "no shared data at " << base;
    const std::size_t at = params.find("iterations");
    ASSERT_NE(at, std::string::npos);
    params.replace(at, params.find('\n', at) - at, "iterations 25");  // converged by then
    TempDir dir;
    const CliResult res = RunTool({dir.Write("p.par", params), base + ".txt"});
    ASSERT_EQ(res.status, 0);
    const std::string report = res.out.substr(res.out.find("tshift "));
    const std::string sigmas = report.substr(report.find("1-sigma"));
    EXPECT_NEAR(double(ReportValue(report, "tshift ")), 2837.355205, 4e-6);  // ± 3.6e-5
    EXPECT_NEAR(double(ReportValue(report, "inclination ")), 86.639, 0.005);  // ± 0.085
    EXPECT_NEAR(double(ReportValue(report, "rsun ")), 0.113740, 2e-6);
    EXPECT_NEAR(double(ReportValue(report, "rplanet ")), 0.0137526, 2e-7);
    EXPECT_NEAR(double(ReportValue(report, "lin ")), 0.341, 0.001);
    EXPECT_NEAR(double(ReportValue(report, "quad ")), 0.134, 0.001);
    EXPECT_NEAR(double(ReportValue(report, "chi_square_reduced ")), 2.853183, 1e-6);
    // The reference's 1σ: Tc ± 0.000036 d, i ± 0.085°, a/R* = 1/rsun ± 0.049.
    EXPECT_NEAR(double(ReportValue(sigmas, "tshift ")), 0.000036, 0.000002);
    EXPECT_NEAR(double(ReportValue(sigmas, "inclination ")), 0.085, 0.002);
    const long double rsun = ReportValue(report, "rsun ");
    EXPECT_NEAR(double(ReportValue(sigmas, "rsun ") / (rsun * rsun)), 0.049, 0.002);
}
